#include "printing/status/printer_status.h"

namespace zunel {

PrinterStatus busy_printer_status(StatusSource source, std::uint64_t elapsed_ms) {
  PrinterStatus status;
  status.source = source;
  status.busy = true;
  status.elapsed_ms = elapsed_ms;
  return status;
}

std::uint64_t elapsed_ms_since(const MonotonicClock& clock, std::chrono::milliseconds start) {
  const auto elapsed = (clock.now() - start).count();
  return elapsed > 0 ? static_cast<std::uint64_t>(elapsed) : 0;
}

StatusSource status_source(const PrintTarget& target) {
  return speaks_directly(target) ? StatusSource::Device : StatusSource::Spooler;
}

}  // namespace zunel
