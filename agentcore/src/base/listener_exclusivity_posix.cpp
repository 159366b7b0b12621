#include "base/listener_exclusivity.h"

#include <sys/socket.h>

#include <cerrno>

namespace zunel {

void make_listener_exclusive(boost::asio::ip::tcp::acceptor::native_handle_type socket,
                             boost::system::error_code& ec) {
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    ec.assign(errno, boost::system::system_category());
  }
}

}  // namespace zunel
