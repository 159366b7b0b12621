#pragma once
// Handing a connected TCP socket to another process of this machine, which
// then serves the connection as if it had accepted it; nothing of the
// connection is read on the way. A handover message is a small fixed header
// and what the system needs to make the receiver's socket:
// - POSIX: the descriptor itself, beside the header on a Unix stream
//   socket (SCM_RIGHTS), the only channel that carries one;
// - Windows: the system's description of a duplicate made for the receiving
//   process (WSADuplicateSocketW, a WSAPROTOCOL_INFOW), as bytes after the
//   header; socket_description.h gives those bytes alone, for a channel
//   that is not a socket, and tells which sockets the receiver's Asio can
//   take (not one bound to the sender's completion port, under Wine).
// One implementation per OS; tests of callers replace it with a recording
// fake.

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/outcome.h"

namespace zunel {

using NativeSocket = boost::asio::ip::tcp::socket::native_handle_type;

// The header: "ZSKT", the format's version (1) and the number of sockets
// the message hands over (1) as 16-bit numbers, and the size of the bytes
// that follow as a 32-bit number, all little-endian.
inline constexpr std::size_t HANDOVER_HEADER_SIZE = 12;
// The bytes after a header are at most this many (a WSAPROTOCOL_INFOW is
// 628).
inline constexpr std::uint32_t MAX_HANDOVER_BODY = 1024;

std::array<std::uint8_t, HANDOVER_HEADER_SIZE> handover_header(std::uint32_t body_size);

// The size of the bytes that follow a header; nothing when it is not the
// header of a message handing over one socket, or announces more than
// MAX_HANDOVER_BODY bytes.
std::optional<std::uint32_t> handover_body_size(std::span<const std::uint8_t, HANDOVER_HEADER_SIZE> header);

class SocketHandover {
 public:
  virtual ~SocketHandover() = default;

  // Hands `socket`, a connected TCP socket, to the process at the other end
  // of `channel`, a connected stream socket (a Unix one on POSIX), whose
  // process id is `receiver_process_id` (Windows makes the duplicate for
  // that process; POSIX does not need it). The sender's copy stays open:
  // the caller closes it, which leaves the receiver's open. A blocking
  // channel is written whole; a non-blocking one that is full gives the
  // system's error.
  [[nodiscard]] virtual Status send(NativeSocket channel, NativeSocket socket,
                                    std::uint32_t receiver_process_id) = 0;

  // Takes the next message from `channel` and gives its socket as an Asio
  // socket of `io`. Refused, with nothing left open, unless the message is
  // a well-formed header with exactly one connected TCP socket; the channel
  // may then be out of step, and is best closed.
  [[nodiscard]] virtual Outcome<boost::asio::ip::tcp::socket> receive(NativeSocket channel,
                                                                      boost::asio::io_context& io) = 0;
};

SocketHandover& system_socket_handover();

// `socket`, a connected TCP socket of any I/O context, as a socket of `io`
// (itself when it is of `io` already; otherwise its descriptor released and
// taken over). When that fails the socket is closed and the system's text
// given.
[[nodiscard]] Outcome<boost::asio::ip::tcp::socket> adopt_socket(boost::asio::ip::tcp::socket socket,
                                                                 boost::asio::io_context& io);

}  // namespace zunel
