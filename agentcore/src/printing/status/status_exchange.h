#pragma once
// What every exchange with a printer on a status channel is made of: the
// bound on what is read, reading until enough has come, sending a command's
// text, and reading ZPL's framed answers. The status query and the
// confirmation both build on these.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "printing/status/status_channel.h"

namespace zunel {

// The most bytes an exchange keeps of what a printer sends; the rest is not read.
inline constexpr std::size_t STATUS_MAX_INPUT = 4096;

// Reads what comes until `done(byte)` says enough (it sees each byte as it
// is added) or `deadline` passes, adding every byte to `raw` up to
// STATUS_MAX_INPUT. False when the channel failed (nothing more will come).
template <typename Done>
bool read_until(StatusChannel& channel, const MonotonicClock& clock, std::chrono::milliseconds deadline,
                std::vector<std::uint8_t>& raw, Done done) {
  std::array<std::uint8_t, 256> buffer;
  for (;;) {
    const std::chrono::milliseconds left = deadline - clock.now();
    const std::size_t room = STATUS_MAX_INPUT - raw.size();
    if (left.count() <= 0 || room == 0) return true;
    auto got = channel.receive(buffer.data(), std::min(buffer.size(), room), left);
    if (!got) return false;
    if (*got == 0) return true;
    for (std::size_t i = 0; i < *got; ++i) {
      raw.push_back(buffer[i]);
      if (done(buffer[i])) return true;
    }
  }
}

// Sends a command given as text (a ZPL command, Star's ESC ACK SOH);
// whether all of it went.
bool send_text(StatusChannel& channel, std::string_view text);

// The frames of a ZPL answer (zpl_frames()), read until `count` of them
// have closed or `deadline` passes.
std::vector<std::string> read_zpl_frames(StatusChannel& channel, const MonotonicClock& clock,
                                         std::chrono::milliseconds deadline, std::size_t count);

}  // namespace zunel
