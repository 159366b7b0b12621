#pragma once
// A printer opened on the spooler, closed when its holder goes: every
// open_printer() that succeeds is paired with its close_printer() here, on
// every path out.

#include <string>

#include "printing/spooler.h"

namespace zunel {

class SpoolerPrinter {
 public:
  // Opens `name`; is_open() says whether the spooler opened it (when not,
  // the spooler's last_error() says why).
  SpoolerPrinter(Spooler& spooler, const std::string& name)
      : spooler_(spooler), open_(spooler.open_printer(name, handle_)) {}
  ~SpoolerPrinter() {
    if (open_) spooler_.close_printer(handle_);
  }
  SpoolerPrinter(const SpoolerPrinter&) = delete;
  SpoolerPrinter& operator=(const SpoolerPrinter&) = delete;

  bool is_open() const { return open_; }
  // REQUIRES: is_open().
  SpoolerHandle handle() const { return handle_; }

 private:
  Spooler& spooler_;
  SpoolerHandle handle_ = 0;
  bool open_;
};

}  // namespace zunel
