#include "base/loopback_listener.h"

#include "base/listener_exclusivity.h"
#include "base/os_error.h"

namespace zunel {

namespace net = boost::asio;
using net::ip::tcp;

tcp::acceptor open_loopback_listener(net::io_context& io, std::uint16_t port,
                                     boost::system::error_code& ec) {
  tcp::acceptor acceptor(io);
  ec.clear();
  const tcp::endpoint endpoint(net::ip::address_v4::loopback(), port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) make_listener_exclusive(acceptor.native_handle(), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
  }
  return acceptor;
}

Outcome<tcp::acceptor> open_loopback_listener(net::io_context& io, std::uint16_t port) {
  boost::system::error_code ec;
  tcp::acceptor acceptor = open_loopback_listener(io, port, ec);
  if (ec) return fail(os_error_text(ec));
  return acceptor;
}

}  // namespace zunel
