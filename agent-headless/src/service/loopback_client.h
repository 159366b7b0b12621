#pragma once
// One request-and-answer exchange with a TCP server on 127.0.0.1, with time
// limits, as the agent probe needs it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zunel {

struct ExchangeLimits {
  std::chrono::milliseconds connect_timeout;
  std::chrono::milliseconds read_timeout;  // for each read
  std::size_t read_chunk;                  // bytes asked for by each read
  std::size_t enough;                      // stop reading once this much has arrived
};

// Connects to 127.0.0.1:`port`, sends all of `request`, then reads until the
// peer closes, a read fails or times out, or `limits.enough` bytes have
// arrived, and returns what was read (possibly nothing). nullopt when the
// connection or the send failed.
std::optional<std::string> loopback_exchange(std::uint16_t port, std::string_view request,
                                             const ExchangeLimits& limits);

}  // namespace zunel
