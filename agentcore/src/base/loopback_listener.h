#pragma once
// A TCP listener on 127.0.0.1 that no other process can share: on Windows
// SO_EXCLUSIVEADDRUSE (SO_REUSEADDR there would let another process bind the
// same port and take the requests), on POSIX SO_REUSEADDR only (a restart may
// bind while old connections linger in TIME_WAIT), never SO_REUSEPORT.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <string>
#include <system_error>

#include "base/outcome.h"

namespace zunel {

// Opens, binds and listens. Port 0 picks a free port (tests). The error is
// the operating system's text.
[[nodiscard]] Outcome<boost::asio::ip::tcp::acceptor> open_loopback_listener(
    boost::asio::io_context& io, std::uint16_t port);

// The same, with the error as the system's code (address_in_use when another
// socket holds the port); the acceptor is closed when `ec` is set.
boost::asio::ip::tcp::acceptor open_loopback_listener(boost::asio::io_context& io, std::uint16_t port,
                                                      boost::system::error_code& ec);

}  // namespace zunel
