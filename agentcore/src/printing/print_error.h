#pragma once
// Why a job did not reach its printer: the class of the failure beside the
// channel's text, so that the HTTP API can name it without reading the
// text (which is the system's, in its language).

#include <string>
#include <utility>

#include "base/outcome.h"
#include "printing/job_pace.h"
#include "printing/write_all.h"

namespace zunel {

enum class PrintFailure {
  Unreachable,       // the host did not resolve, or no connection was made
  Timeout,           // the printer took no byte for 5 s, or fell below its pace floor
  Closed,            // the printer closed or broke the connection, or the line failed
  SerialOpenFailed,  // the serial port could not be opened or configured
  Spooler,           // a spooler call failed
  UsbUnsupported,    // a "usb" target: there is no USB channel
};

struct PrintError {
  PrintFailure failure = PrintFailure::Closed;
  std::string text;  // meant for the ERP user, unchanged
};

using PrintStatus = Outcome<void, PrintError>;

inline PrintError print_error(PrintFailure failure, Error error) { return {failure, std::move(error.text)}; }

// A write that failed after the channel was open: one whose printer took
// nothing for the stall limit, or fell below its pace floor, is Timeout;
// any other failure Closed.
inline PrintError write_failed(Error error) {
  const bool timed_out = error.text == PRINTER_STOPPED_READING || error.text == PRINTER_TOO_SLOW;
  return print_error(timed_out ? PrintFailure::Timeout : PrintFailure::Closed, std::move(error));
}

}  // namespace zunel
