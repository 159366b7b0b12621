// The reference page's sample label, in ZPL, written by hand: ZPL is text.
// ^CI28 right after ^XA makes the printer read the field data (^FD) as
// UTF-8, so the page sends the text as it has it, accents and € included:
// TextEncoder's bytes, which the agent passes on unchanged. Without ^CI28 a
// printer reads them in its default character set, and «Jamón» comes out
// as «Jam├│n». docs/integration.md, "Text on paper", tells the rest.

// A 50 × 30 mm label at 203 dpi (400 × 240 dots), in the scalable font 0.
export const LABEL_ZPL = [
  '^XA',
  '^CI28',
  '^PW400^LL240',
  '^FO20,18^A0N,38,38^FDJamón ibérico^FS',
  '^FO20,62^A0N,26,26^FDLoncheado · 250 g · Año 2026^FS',
  '^FO20,96^A0N,36,36^FD12,50 €^FS',
  '^FO190,104^A0N,24,24^FD¿Dudas? Pregunte.^FS',
  '^FO40,140^BY2^BEN,60,Y,N^FD840000000123^FS',
  '^XZ',
].join('\n') + '\n';

// The bytes of the label, as the printer must receive them.
export function labelBytes() {
  return new TextEncoder().encode(LABEL_ZPL);
}
