#include "service/port_diagnosis.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "service/winsock_init.h"

namespace zunel {
namespace {

class WinPortBinder final : public PortBinder {
 public:
  BindOutcome try_bind_loopback(std::uint16_t port) override {
    if (!ensure_winsock()) return BindOutcome::Refused;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return BindOutcome::Refused;
    // No SO_REUSEADDR: on Windows it would let this bind share a port that
    // another program is listening on.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc == 0) rc = ::listen(s, 1);
    const int error = rc == 0 ? 0 : WSAGetLastError();
    ::closesocket(s);
    if (rc == 0) return BindOutcome::Bound;
    return error == WSAEADDRINUSE ? BindOutcome::AddressInUse : BindOutcome::Refused;
  }
};

}  // namespace

PortBinder& system_port_binder() {
  static WinPortBinder binder;
  return binder;
}

}  // namespace zunel
