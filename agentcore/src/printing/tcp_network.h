#pragma once
// The system's resolver and TCP sockets, as the raw TCP channel uses them.
// Error texts are the system's, in the form of os_error_text().

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/outcome.h"

namespace zunel {

// One address the resolver gave; its bytes are the platform's own socket
// address and mean nothing to the channel logic.
struct TcpAddress {
  std::string bytes;
  bool operator==(const TcpAddress&) const = default;
};

// A connected stream. Destroying it closes the socket (no half-close, no
// lingering wait for the printer).
class TcpConnection {
 public:
  virtual ~TcpConnection() = default;
  // One send over `data`: what the system takes now, or, when it has no
  // room, what it takes once room comes within `wait`. The count, which may
  // be less than `size`; 0 when it took nothing in that time. Never blocks
  // longer than `wait` (no blocking send whose time-out would leave the
  // socket in an undefined state).
  [[nodiscard]] virtual Outcome<std::size_t> send_some(const std::uint8_t* data, std::size_t size,
                                                       std::chrono::milliseconds wait) = 0;
  // Waits up to `timeout` (0: not at all) for bytes from the peer and takes
  // what has arrived, at most `size`: the count taken, 0 when nothing came
  // in time. A peer that closed its side is an error
  // (TCP_CLOSED_BY_PEER), as is any failure of the system's.
  [[nodiscard]] virtual Outcome<std::size_t> receive_some(std::uint8_t* buffer, std::size_t size,
                                                          std::chrono::milliseconds timeout) = 0;
};

// The error of receive_some() once the peer has closed the connection.
inline constexpr const char* TCP_CLOSED_BY_PEER = "connection closed by the peer";

class TcpNetwork {
 public:
  virtual ~TcpNetwork() = default;
  // The addresses of host:port in the resolver's order. An IPv4 or IPv6
  // literal is used as it is, without a lookup. May be empty.
  [[nodiscard]] virtual Outcome<std::vector<TcpAddress>> resolve(const std::string& host,
                                                                 std::uint16_t port) = 0;
  // Connects, giving up after `timeout` with the system's time-out error.
  [[nodiscard]] virtual Outcome<std::unique_ptr<TcpConnection>> connect(const TcpAddress& address,
                                                                        std::chrono::milliseconds timeout) = 0;
};

// The real resolver and sockets of this OS; lives for the whole process.
TcpNetwork& system_tcp_network();

}  // namespace zunel
