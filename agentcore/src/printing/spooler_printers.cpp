#include "printing/spooler_printers.h"

#include "base/utf8.h"

namespace zunel {

Outcome<std::vector<PrinterInfo>> enumerate_spooler_printers(PrinterEnumerationCalls& calls) {
  // Only the size the first call reports is used, not its result; it stays
  // 0 when the call reports none.
  std::uint32_t needed = 0;
  std::uint32_t returned = 0;
  (void)calls.enum_printers(nullptr, 0, needed, returned);
  if (needed == 0) return std::vector<PrinterInfo>{};

  // One attempt: a printer added between the calls fails this one too.
  std::vector<std::uint8_t> buffer(needed, 0);
  const std::uint32_t size = needed;
  returned = 0;
  if (!calls.enum_printers(buffer.data(), size, needed, returned)) {
    return fail("EnumPrinters falló (Win32 err " + std::to_string(calls.last_error()) + ")");
  }

  std::vector<PrinterInfo> printers;
  for (const SpoolerPrinterEntry& entry : calls.read_entries(buffer.data(), returned)) {
    PrinterInfo info;
    if (entry.name) {
      std::string name = utf16_to_utf8(*entry.name);
      if (!name.empty()) info.product = std::move(name);
    }
    info.offline = (entry.attributes & PRINTER_WORK_OFFLINE) != 0;
    printers.push_back(std::move(info));
  }
  return printers;
}

}  // namespace zunel
