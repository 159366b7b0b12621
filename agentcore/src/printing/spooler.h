#pragma once
// The print spooler's job calls, one to one with winspool's OpenPrinterW,
// StartDocPrinterW (level 1), StartPagePrinter, WritePrinter,
// EndPagePrinter, EndDocPrinter, ClosePrinter and kernel32's GetLastError.
// On Windows they are those calls; elsewhere a CUPS server stands in.

#include <cstdint>
#include <string>

namespace zunel {

// An open printer, as the spooler gave it; opaque to the channel logic.
using SpoolerHandle = std::uintptr_t;

class Spooler {
 public:
  virtual ~Spooler() = default;
  // Each call returns whether it succeeded; after a failure last_error()
  // gives its code. Names are UTF-8 here and reach the system as UTF-16.
  virtual bool open_printer(const std::string& name, SpoolerHandle& handle) = 0;
  // One document with no output file and the given data type.
  virtual bool start_doc(SpoolerHandle handle, const std::string& document_name,
                         const std::string& data_type) = 0;
  virtual bool start_page(SpoolerHandle handle) = 0;
  virtual bool write(SpoolerHandle handle, const std::uint8_t* data, std::uint32_t size,
                     std::uint32_t& written) = 0;
  virtual bool end_page(SpoolerHandle handle) = 0;
  virtual bool end_doc(SpoolerHandle handle) = 0;
  virtual bool close_printer(SpoolerHandle handle) = 0;
  virtual std::uint32_t last_error() = 0;
};

// The real spooler of this OS (on POSIX: the CUPS server that CUPS_SERVER or
// the client configuration names); lives for the whole process.
Spooler& system_spooler();

}  // namespace zunel
