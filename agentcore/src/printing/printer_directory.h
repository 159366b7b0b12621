#pragma once
// Where the printer list comes from: the system's print spooler.

#include <vector>

#include "base/outcome.h"
#include "printing/printer_list.h"

namespace zunel {

class PrinterDirectory {
 public:
  virtual ~PrinterDirectory() = default;
  // Enumerates afresh on every call, in the spooler's order; the error text
  // is the one the printers endpoint sends.
  [[nodiscard]] virtual Outcome<std::vector<PrinterInfo>> list() = 0;
};

// The real directory of this OS (Windows: the spooler's local printers and
// connections; POSIX: the CUPS server's queues); lives for the whole process.
PrinterDirectory& system_printer_directory();

}  // namespace zunel
