// The reference page's sample ticket: a Spanish receipt built with
// @point-of-sale/receipt-printer-encoder (docs/integration.md, "Text on
// paper", says why that library), and the preview the shop sees before it
// prints.
//
// The library writes ESC/POS for a printer of 42 columns (font A on 80 mm
// paper) and selects the code page CP858 (accents, ñ, ¿, ¡ and €) with
// ESC t n, numbered as Epson-compatible printers number their tables (CP858
// is 19). Another maker may number it otherwise: the printer's self-test page
// lists its tables, and `codepageMapping` takes the shop's own numbers.
//
// The page loads the library without a bundler: index.html maps its name to
// the ES module build in node_modules (`npm install` in this folder); a
// bundler resolves the same import by itself.
import ReceiptPrinterEncoder from '@point-of-sale/receipt-printer-encoder';

export const RECEIPT_PRINTER = Object.freeze({
  language: 'esc-pos', columns: 42, codepageMapping: 'epson', imageMode: 'raster',
});

// The logo's size on paper, in dots (a multiple of 8 wide).
export const LOGO_SIZE = Object.freeze({ width: 256, height: 96 });

// The sample sale.
export const SALE = Object.freeze({
  shop: 'Ultramarinos Zunel',
  address: ['C/ del Año Nuevo, 12', '26001 Logroño', 'NIF B26000000'],
  ticket: '2026-000123',
  items: [['Café con leche (2 x 1,50 €)', '3,00 €'], ['Menú Niño', '6,50 €'], ['Tostada con jamón', '3,00 €']],
  total: '12,50 €',
  after: [['IVA incluido (10 %)', '1,14 €'], ['Efectivo', '20,00 €'], ['Cambio', '7,50 €']],
  survey: 'https://erp.zunel.example/encuesta?t=2026-000123',
  barcode: '8400000001236',  // EAN-13: the ticket's number and its check digit
});

const MONEY = [{ width: 31, marginRight: 1 }, { width: 10, align: 'right' }];

function when(date) {
  const two = (n) => String(n).padStart(2, '0');
  return `${two(date.getDate())}/${two(date.getMonth() + 1)}/${date.getFullYear()} ` +
         `${two(date.getHours())}:${two(date.getMinutes())}`;
}

// The whole ticket, onto `encoder`: logo, shop, lines, total in bold, a QR
// code to the survey, the ticket's barcode, the cut, then the cash drawer's
// pulse.
function compose(encoder, logo, date) {
  const bold = (text) => (e) => e.bold(true).text(text).bold(false);
  return encoder
    .initialize()
    .codepage('cp858')
    .align('center')
    .image(logo, { ...LOGO_SIZE, algorithm: 'threshold' })
    .bold(true).size(1, 2).line(SALE.shop).size(1, 1).bold(false)
    .line(SALE.address[0]).line(SALE.address[1]).line(SALE.address[2])
    .align('left')
    .newline()
    .table([{ width: 20 }, { width: 22, align: 'right' }], [[`Ticket ${SALE.ticket}`, when(date)]])
    .rule()
    .table(MONEY, SALE.items)
    .rule()
    .size(1, 2)
    .table(MONEY, [[bold('TOTAL'), bold(SALE.total)]])
    .size(1, 1)
    .table(MONEY, SALE.after)
    .newline()
    .align('center')
    .line('¿Qué tal le atendimos?')
    .line('Díganoslo con este código:')
    .qrcode(SALE.survey, { size: 6 })
    .barcode(SALE.barcode, 'ean13', { height: 60, text: true })
    .newline()
    .bold(true).line('¡Feliz Año Nuevo!').bold(false)
    .align('left')
    .cut()
    .pulse();
}

// The ticket for `logo` (an <img> or a canvas) at `date`: the bytes to print,
// and the library's layout of the same ticket, line by line, for the preview.
export function receipt(logo, date = new Date()) {
  const encoder = () => new ReceiptPrinterEncoder(RECEIPT_PRINTER);
  return { bytes: compose(encoder(), logo, date).encode(), layout: compose(encoder(), logo, date).encode('commands') };
}

export async function loadLogo(url) {
  const image = new Image();
  image.src = url;
  await image.decode();
  return image;
}

// ---- the preview -----------------------------------------------------------
//
// The library has no preview of its own: the page draws the library's layout
// at one canvas pixel per printer dot. Text is drawn as the printer's font A
// cells (12 × 24 dots), the logo from the very bits that are sent; the QR
// code and the barcode, which the printer draws itself, are shown as frames
// of their size.

const CELL = Object.freeze({ width: 12, height: 24 });
const MARGIN = 16;
const INK = '#1b1b1b';

// What a line's block commands say of their size.
function blockSizes(commands) {
  const sizes = { qr: 6, barHeight: 60, barWidth: 2, barText: 'none' };
  for (const c of commands) {
    if (c.type === 'qrcode' && c.property === 'size') sizes.qr = c.value;
    if (c.type === 'barcode' && c.property === 'height') sizes.barHeight = c.value;
    // GS w n: a module n dots wide.
    if (c.type === 'barcode' && c.property === 'width') sizes.barWidth = c.payload?.[2] ?? c.value;
    if (c.type === 'barcode' && c.property === 'text') sizes.barText = c.value;
  }
  return sizes;
}

// A QR code of a link this long has 33 modules a side (version 4).
const QR_MODULES = 33;
// An EAN-13 symbol is 95 modules wide.
const EAN_MODULES = 95;

function lineHeight(line) {
  const sizes = blockSizes(line.commands);
  let height = 0;
  for (const c of line.commands) {
    if (c.type === 'image') height = Math.max(height, c.height);
    if (c.type === 'qrcode' && c.property === 'data') height = Math.max(height, sizes.qr * QR_MODULES);
    if (c.type === 'barcode' && typeof c.value === 'object') {
      height = Math.max(height, sizes.barHeight + (sizes.barText === 'none' ? 0 : CELL.height));
    }
    if (['text', 'empty', 'cut', 'pulse'].includes(c.type)) height = Math.max(height, line.height * CELL.height);
  }
  return height;
}

// Where a block `width` dots wide starts on a line of `paper` dots.
function placed(align, width, paper) {
  if (align === 'center') return MARGIN + Math.floor((paper - width) / 2);
  if (align === 'right') return MARGIN + paper - width;
  return MARGIN;
}

function drawText(g, text, x, bottom, style) {
  const width = CELL.width * style.width;
  const height = CELL.height * style.height;
  g.font = `${style.italic ? 'italic ' : ''}${style.bold ? 'bold ' : ''}20px monospace`;
  g.textAlign = 'center';
  for (const ch of text) {
    if (style.invert) {
      g.fillStyle = INK;
      g.fillRect(x, bottom - height, width, height);
    }
    g.fillStyle = style.invert ? '#fff' : INK;
    g.save();
    g.translate(x + width / 2, bottom - 6 * style.height);
    g.scale(style.width, style.height);
    g.fillText(ch, 0, 0);
    g.restore();
    if (style.underline) g.fillRect(x, bottom - 3, width, 2);
    x += width;
  }
  return x;
}

// A raster image as the printer gets it (GS v 0: width in bytes, height in
// dots, then the rows, a set bit a black dot).
function drawRaster(g, payload, x, y) {
  const stride = payload[4] + 256 * payload[5];
  const rows = payload[6] + 256 * payload[7];
  const image = g.createImageData(stride * 8, rows);
  for (let row = 0; row < rows; row++) {
    for (let dot = 0; dot < stride * 8; dot++) {
      const black = payload[8 + row * stride + (dot >> 3)] & (0x80 >> (dot & 7));
      const i = (row * stride * 8 + dot) * 4;
      image.data.fill(black ? 27 : 255, i, i + 3);
      image.data[i + 3] = 255;
    }
  }
  g.putImageData(image, x, y);
}

function drawQrFrame(g, x, y, module) {
  const side = module * QR_MODULES;
  const finder = module * 7;
  g.fillStyle = INK;
  for (const [fx, fy] of [[x, y], [x + side - finder, y], [x, y + side - finder]]) {
    g.fillRect(fx, fy, finder, finder);
    g.clearRect(fx + module, fy + module, finder - 2 * module, finder - 2 * module);
    g.fillRect(fx + 2 * module, fy + 2 * module, finder - 4 * module, finder - 4 * module);
  }
  g.strokeStyle = INK;
  g.setLineDash([6, 6]);
  g.strokeRect(x + 0.5, y + 0.5, side - 1, side - 1);
  g.setLineDash([]);
  g.font = 'bold 28px sans-serif';
  g.textAlign = 'center';
  g.fillText('QR', x + side / 2, y + side / 2 + 10);
}

function drawBarcodeFrame(g, x, y, sizes, digits) {
  const width = sizes.barWidth * EAN_MODULES;
  g.fillStyle = INK;
  // Bars that follow the digits: the shape of a barcode, not one to scan.
  for (let module = 0; module < EAN_MODULES; module++) {
    const digit = Number(digits[Math.floor(module * digits.length / EAN_MODULES)]);
    if ((digit + module) % 3 === 0) g.fillRect(x + module * sizes.barWidth, y, sizes.barWidth, sizes.barHeight);
  }
  if (sizes.barText !== 'none') {
    const textX = x + (width - digits.length * CELL.width) / 2;
    drawText(g, digits, textX, y + sizes.barHeight + CELL.height, { width: 1, height: 1 });
  }
}

// Draws the library's layout of a ticket on `canvas`, at its size.
export function drawPreview(canvas, layout) {
  const paper = RECEIPT_PRINTER.columns * CELL.width;
  const rows = layout.map((line) => ({ line, height: lineHeight(line) }));
  canvas.width = paper + 2 * MARGIN;
  canvas.height = rows.reduce((sum, r) => sum + r.height, 0) + 2 * MARGIN;
  const g = canvas.getContext('2d');
  g.fillStyle = '#fff';
  g.fillRect(0, 0, canvas.width, canvas.height);
  const style = { bold: false, italic: false, underline: false, invert: false, width: 1, height: 1 };
  let align = 'left';
  let y = MARGIN;
  for (const { line, height } of rows) {
    const sizes = blockSizes(line.commands);
    let x = MARGIN;
    for (const c of line.commands) {
      if (c.type === 'style' && c.property === 'size') Object.assign(style, c.value);
      else if (c.type === 'style') style[c.property] = c.value;
      else if (c.type === 'align') align = c.value;
      else if (c.type === 'text') x = drawText(g, c.value, x, y + height, style);
      else if (c.type === 'image' && c.value === 'raster') drawRaster(g, c.payload, placed(align, c.width, paper), y);
      else if (c.type === 'qrcode' && c.property === 'data') {
        drawQrFrame(g, placed(align, sizes.qr * QR_MODULES, paper), y, sizes.qr);
      } else if (c.type === 'barcode' && typeof c.value === 'object') {
        drawBarcodeFrame(g, placed(align, sizes.barWidth * EAN_MODULES, paper), y, sizes, c.value.data);
      } else if (c.type === 'cut') {
        g.strokeStyle = '#888';
        g.setLineDash([8, 6]);
        g.beginPath();
        g.moveTo(0, y + height / 2);
        g.lineTo(canvas.width, y + height / 2);
        g.stroke();
        g.setLineDash([]);
        g.fillStyle = '#888';
        g.font = '14px sans-serif';
        g.textAlign = 'left';
        g.fillText('corte', MARGIN, y + height / 2 - 4);
      } else if (c.type === 'pulse') {
        g.fillStyle = '#888';
        g.font = 'italic 14px sans-serif';
        g.textAlign = 'center';
        g.fillText('(se abre el cajón)', canvas.width / 2, y + height - 6);
      }
    }
    y += height;
  }
}
