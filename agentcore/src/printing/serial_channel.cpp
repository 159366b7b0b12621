#include "printing/serial_channel.h"

namespace zunel {

Status send_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                   std::span<const std::uint8_t> bytes) {
  SerialSettings settings;
  settings.baud_rate = baud;
  auto line = ports.open(port, settings);
  if (!line) return fail(line.error());
  // Straight from the caller's buffer: no copy into pieces.
  while (!bytes.empty()) {
    auto written = (*line)->write_some(bytes.data(), bytes.size());
    if (!written) return fail(written.error());
    if (*written == 0) return fail("failed to write whole buffer");
    bytes = bytes.subspan(*written);
  }
  if (auto flushed = (*line)->flush(); !flushed) return fail(flushed.error());
  return {};
}

}  // namespace zunel
