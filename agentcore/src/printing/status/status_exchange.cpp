#include "printing/status/status_exchange.h"

#include "printing/status/zpl_status.h"

namespace zunel {

bool send_text(StatusChannel& channel, std::string_view text) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  return channel.send({data, text.size()}).ok();
}

std::vector<std::string> read_zpl_frames(StatusChannel& channel, const MonotonicClock& clock,
                                         std::chrono::milliseconds deadline, std::size_t count) {
  // Framing: no length, only STX ... ETX.
  std::vector<std::uint8_t> raw;
  std::size_t closed = 0;
  read_until(channel, clock, deadline, raw, [&](std::uint8_t b) { return b == 0x03 && ++closed == count; });
  return zpl_frames(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
}

}  // namespace zunel
