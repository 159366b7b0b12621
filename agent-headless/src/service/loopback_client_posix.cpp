#include "service/loopback_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zunel {
namespace {

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool connect_with_timeout(int fd, std::uint16_t port, std::chrono::milliseconds timeout) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return false;
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
  }
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

std::optional<std::string> loopback_exchange(std::uint16_t port, std::string_view request,
                                             const ExchangeLimits& limits) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.fd() < 0) return std::nullopt;
  if (!connect_with_timeout(s.fd(), port, limits.connect_timeout)) return std::nullopt;

  // A failure to set the read limit is ignored, as the probe allows.
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(limits.read_timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limits.read_timeout.count() % 1000) * 1000);
  ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(s.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    sent += static_cast<std::size_t>(n);
  }

  std::string answer;
  std::string chunk(limits.read_chunk, '\0');
  while (answer.size() < limits.enough) {
    const ssize_t n = ::recv(s.fd(), chunk.data(), chunk.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // closed, failed or timed out
    answer.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return answer;
}

}  // namespace zunel
