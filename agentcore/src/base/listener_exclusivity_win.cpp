#include "base/listener_exclusivity.h"

#include <winsock2.h>
#include <windows.h>

namespace zunel {

void make_listener_exclusive(boost::asio::ip::tcp::acceptor::native_handle_type socket,
                             boost::system::error_code& ec) {
  const BOOL on = TRUE;
  if (::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    ec.assign(WSAGetLastError(), boost::system::system_category());
  }
}

}  // namespace zunel
