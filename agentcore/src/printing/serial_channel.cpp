#include "printing/serial_channel.h"

#include <algorithm>

#include "printing/job_pace.h"
#include "printing/write_all.h"

namespace zunel {

Outcome<std::unique_ptr<SerialLine>> open_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud) {
  SerialSettings settings;
  settings.baud_rate = baud;
  return ports.open(port, settings);
}

Status write_serial_job(SerialLine& line, std::uint32_t baud, std::span<const std::uint8_t> bytes,
                        const MonotonicClock& clock) {
  JobPace pace(serial_pace_floor(baud), clock);
  // About half a second of the line's bytes a call (8N1: baud / 10 a second).
  const WriteLimits limits{.max_piece = std::max<std::size_t>(baud / 20, 64)};
  auto written = write_all(
      bytes,
      [&](const std::uint8_t* data, std::size_t size, std::chrono::milliseconds wait) {
        return line.write_some(data, size, wait);
      },
      clock, limits,
      [&](std::size_t taken) -> Status {
        if (!pace.keeps_up(taken)) return fail(PRINTER_TOO_SLOW);
        return {};
      });
  if (!written) return written;
  if (auto flushed = line.flush(); !flushed) return fail(flushed.error());
  return {};
}

Status send_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                   std::span<const std::uint8_t> bytes) {
  auto line = open_serial(ports, port, baud);
  if (!line) return fail(line.error());
  return write_serial_job(**line, baud, bytes);
}

}  // namespace zunel
