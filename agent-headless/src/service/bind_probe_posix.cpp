#include "service/port_diagnosis.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zunel {
namespace {

class PosixPortBinder final : public PortBinder {
 public:
  BindOutcome try_bind_loopback(std::uint16_t port) override {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return BindOutcome::Refused;
    // As the agent's own listener does: lingering TIME_WAIT connections of an
    // earlier agent do not count as the port being taken, a live listener does.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc == 0) rc = ::listen(fd, 1);
    const int error = errno;
    ::close(fd);
    if (rc == 0) return BindOutcome::Bound;
    return error == EADDRINUSE ? BindOutcome::AddressInUse : BindOutcome::Refused;
  }
};

}  // namespace

PortBinder& system_port_binder() {
  static PosixPortBinder binder;
  return binder;
}

}  // namespace zunel
