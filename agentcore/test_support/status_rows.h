#pragma once
// What a row of a status decoder's table expects: a status whose fields
// left as constructed stay unknown.

#include <cstdint>
#include <string>
#include <vector>

#include "printing/status/printer_status.h"

namespace zunel {

inline PrinterStatus unknown() { return PrinterStatus{}; }

// A status with `change` applied to an unknown one.
template <typename F>
PrinterStatus with(F change) {
  PrinterStatus s;
  change(s);
  return s;
}

// A spooler queue as a row expects it.
inline QueueStatus queue(QueueState state, std::vector<std::string> reasons, std::uint32_t jobs = 0) {
  return QueueStatus{state, std::move(reasons), jobs};
}

}  // namespace zunel
