#pragma once
// Serial output: open the port with the fixed line settings, write every
// byte, wait for the data to leave, close.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/outcome.h"
#include "printing/serial_port.h"

namespace zunel {

// The port opened with the job's line settings, or the system's error text
// (no code suffix).
[[nodiscard]] Outcome<std::unique_ptr<SerialLine>> open_serial(SerialPorts& ports, const std::string& port,
                                                                std::uint32_t baud);

// Writes every byte to an open port, at serial_pace_floor(baud)'s pace at
// least (job_pace.h), failing when the port takes no byte for
// JOB_STALL_LIMIT by `clock` (write_all.h), and waits for it to leave. Errors as send_serial's.
[[nodiscard]] Status write_serial_job(SerialLine& line, std::uint32_t baud, std::span<const std::uint8_t> bytes,
                                      const MonotonicClock& clock = system_monotonic_clock());

// Errors: the port's open or configuration error as the system words it (no
// code suffix); PRINTER_STOPPED_READING when the port takes nothing for 5 s
// over the job; PRINTER_TOO_SLOW; write and flush errors as os_error_text(). The port is
// closed on every path.
[[nodiscard]] Status send_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                                 std::span<const std::uint8_t> bytes);

}  // namespace zunel
