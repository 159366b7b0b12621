#pragma once
// The one socket option that differs between platforms for listeners.

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace zunel {

// Sets SO_EXCLUSIVEADDRUSE (Windows) or SO_REUSEADDR (POSIX) on an open,
// unbound socket.
void make_listener_exclusive(boost::asio::ip::tcp::acceptor::native_handle_type socket,
                             boost::system::error_code& ec);

}  // namespace zunel
