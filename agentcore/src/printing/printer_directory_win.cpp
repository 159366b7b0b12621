#include "printing/printer_directory.h"

#include <windows.h>
#include <winspool.h>

#include "printing/spooler_printers.h"

namespace zunel {
namespace {

class WinspoolEnumeration final : public PrinterEnumerationCalls {
 public:
  bool enum_printers(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& needed,
                     std::uint32_t& returned) override {
    DWORD n = needed;
    DWORD r = returned;
    const BOOL ok = ::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, buffer, size, &n, &r);
    needed = n;
    returned = r;
    return ok != 0;
  }

  std::vector<SpoolerPrinterEntry> read_entries(const std::uint8_t* buffer, std::uint32_t count) override {
    const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer);
    std::vector<SpoolerPrinterEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
      SpoolerPrinterEntry entry;
      if (info[i].pPrinterName != nullptr) {
        entry.name = std::u16string(reinterpret_cast<const char16_t*>(info[i].pPrinterName));
      }
      entry.attributes = info[i].Attributes;
      entries.push_back(std::move(entry));
    }
    return entries;
  }

  std::uint32_t last_error() override { return ::GetLastError(); }
};

class WinPrinterDirectory final : public PrinterDirectory {
 public:
  Outcome<std::vector<PrinterInfo>> list() override {
    WinspoolEnumeration calls;
    return enumerate_spooler_printers(calls);
  }
};

}  // namespace

PrinterDirectory& system_printer_directory() {
  static WinPrinterDirectory directory;
  return directory;
}

}  // namespace zunel
