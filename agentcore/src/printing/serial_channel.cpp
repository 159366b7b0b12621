#include "printing/serial_channel.h"

#include "printing/write_all.h"

namespace zunel {

Outcome<std::unique_ptr<SerialLine>> open_serial(SerialPorts& ports, const std::string& port, std::uint32_t baud) {
  SerialSettings settings;
  settings.baud_rate = baud;
  return ports.open(port, settings);
}

Status write_serial_job(SerialLine& line, std::span<const std::uint8_t> bytes) {
  auto write = [&](const std::uint8_t* data, std::size_t size) { return line.write_some(data, size); };
  if (auto written = write_all(bytes, write); !written) return written;
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
