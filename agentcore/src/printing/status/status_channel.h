#pragma once
// A connected printer as a status query or a confirmation uses it: raw TCP
// or a serial line behind one small interface.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/clock.h"
#include "base/outcome.h"
#include "printing/serial_port.h"
#include "printing/tcp_network.h"

namespace zunel {

class StatusChannel {
 public:
  virtual ~StatusChannel() = default;
  // Sends all of `bytes`; fails when the printer takes nothing for the
  // channel's stall limit.
  [[nodiscard]] virtual Status send(std::span<const std::uint8_t> bytes) = 0;
  // As TcpConnection::receive_some: the count taken, 0 on time-out.
  [[nodiscard]] virtual Outcome<std::size_t> receive(std::uint8_t* buffer, std::size_t size,
                                                     std::chrono::milliseconds timeout) = 0;
  // Throws away input that arrived before the query (replies to earlier
  // queries, automatic status).
  [[nodiscard]] virtual Status discard_input(const MonotonicClock& clock, std::chrono::milliseconds deadline) = 0;
};

// The status channels of a printer connected by raw TCP and by a serial
// line (discarding input purges the line), whose sends fail when the
// printer takes nothing for `stall_limit` by `clock`; each uses what it is
// given and must not outlive it.
std::unique_ptr<StatusChannel> tcp_status_channel(TcpConnection& connection, const MonotonicClock& clock,
                                                  std::chrono::milliseconds stall_limit);
std::unique_ptr<StatusChannel> serial_status_channel(SerialLine& line, const MonotonicClock& clock,
                                                     std::chrono::milliseconds stall_limit);

}  // namespace zunel
