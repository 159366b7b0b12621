#pragma once
// Windows only: a socket handed to another process as bytes, for a channel
// that is not a socket (socket_handover.h frames the same bytes on one).
//
// A socket belongs to at most one I/O completion port, and its duplicates
// to the same one, so the receiver's Asio (which binds every socket to its
// io_context's port) can take a socket only if the sender's binding is
// undone first. Windows 8.1 and later undo it when the description is made
// (the sender's copy is then only good for closing); Wine 8 cannot, so
// there the sender must hand over a socket it accepted without Asio (a
// plain accept on the listener), bound to no port.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <span>
#include <vector>

#include "base/outcome.h"
#include "base/socket_handover.h"

namespace zunel {

// The system's description (WSAPROTOCOL_INFOW, from WSADuplicateSocketW) of
// a duplicate of `socket` made for the process `process_id`. The duplicate
// belongs to that process from now on: until it makes its socket from the
// description, and if it never does, it holds the connection open.
[[nodiscard]] Outcome<std::vector<std::uint8_t>> describe_socket_for(NativeSocket socket,
                                                                     std::uint32_t process_id);

// The socket a description made for this process stands for, as an Asio
// socket of `io` (WSASocketW with FROM_PROTOCOL_INFO, overlapped). Refused
// unless the bytes are exactly one WSAPROTOCOL_INFOW of a TCP stream socket.
[[nodiscard]] Outcome<boost::asio::ip::tcp::socket> socket_from_description(
    std::span<const std::uint8_t> description, boost::asio::io_context& io);

}  // namespace zunel
