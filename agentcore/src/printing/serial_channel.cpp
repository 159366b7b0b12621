#include "printing/serial_channel.h"

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
  auto write = [&](const std::uint8_t* data, std::size_t size) -> Outcome<std::size_t> {
    auto written = line.write_some(data, size);
    if (written && *written > 0 && !pace.keeps_up(*written)) return fail(PRINTER_TOO_SLOW);
    return written;
  };
  if (auto written = write_all(bytes, write); !written) return written;
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
