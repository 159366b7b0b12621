#include "printing/serial_channel.h"

namespace zunel {

Outcome<std::unique_ptr<SerialLine>> open_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud) {
  SerialSettings settings;
  settings.baud_rate = baud;
  return ports.open(port, settings);
}

Status write_serial_job(SerialLine& line, std::span<const std::uint8_t> bytes) {
  // Straight from the caller's buffer: no copy into pieces.
  while (!bytes.empty()) {
    auto written = line.write_some(bytes.data(), bytes.size());
    if (!written) return fail(written.error());
    if (*written == 0) return fail("failed to write whole buffer");
    bytes = bytes.subspan(*written);
  }
  if (auto flushed = line.flush(); !flushed) return fail(flushed.error());
  return {};
}

Status send_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                   std::span<const std::uint8_t> bytes) {
  auto line = open_serial(ports, port, baud);
  if (!line) return fail(line.error());
  return write_serial_job(**line, bytes);
}

}  // namespace zunel
