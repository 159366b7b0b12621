#pragma once
// The printer list from the Windows spooler's EnumPrintersW, level 4, in two
// calls: one for the size, one with a buffer of exactly that size. Written
// over the calls so that it is exercised on every platform.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "printing/printer_list.h"

namespace zunel {

// One level-4 entry as the spooler gives it.
struct SpoolerPrinterEntry {
  std::optional<std::u16string> name;
  std::uint32_t attributes = 0;
};

// PRINTER_ATTRIBUTE_WORK_OFFLINE.
inline constexpr std::uint32_t PRINTER_WORK_OFFLINE = 0x400;

class PrinterEnumerationCalls {
 public:
  virtual ~PrinterEnumerationCalls() = default;
  // EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, no server,
  // level 4, buffer, size, &needed, &returned).
  virtual bool enum_printers(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& needed,
                             std::uint32_t& returned) = 0;
  // The first `count` entries of a buffer that enum_printers() filled.
  virtual std::vector<SpoolerPrinterEntry> read_entries(const std::uint8_t* buffer, std::uint32_t count) = 0;
  // GetLastError.
  virtual std::uint32_t last_error() = 0;
};

// No size reported (0, or a first call that failed without one) is an empty
// list; a failed second call is "EnumPrinters falló (Win32 err {code})", with
// no partial list. Names go to UTF-8 with U+FFFD for unpaired surrogates; a
// missing or empty name leaves `product` absent.
[[nodiscard]] Outcome<std::vector<PrinterInfo>> enumerate_spooler_printers(PrinterEnumerationCalls& calls);

}  // namespace zunel
