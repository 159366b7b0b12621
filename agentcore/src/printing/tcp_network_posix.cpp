#include "printing/tcp_network.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/os_error.h"

namespace zunel {
namespace {

Error resolver_error(int code) {
  if (code == EAI_SYSTEM) return fail(os_error_text(errno));
  return fail(with_os_error_code(gai_strerror(code), code));
}

class PosixTcpConnection final : public TcpConnection {
 public:
  explicit PosixTcpConnection(int fd) : fd_(fd) {}
  ~PosixTcpConnection() override { ::close(fd_); }
  PosixTcpConnection(const PosixTcpConnection&) = delete;
  PosixTcpConnection& operator=(const PosixTcpConnection&) = delete;

  Outcome<std::size_t> receive_some(std::uint8_t* buffer, std::size_t size,
                                    std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(os_error_text(errno));
      if (r == 0) return std::size_t{0};
      const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n == 0) return fail(TCP_CLOSED_BY_PEER);
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return fail(os_error_text(errno));
    }
  }

  Outcome<std::size_t> send_some(const std::uint8_t* data, std::size_t size,
                                 std::chrono::milliseconds wait) override {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (bool waited = false;;) {
      // MSG_NOSIGNAL: a printer that closed the connection is an error, not a signal.
      const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(os_error_text(errno));
      if (waited) return std::size_t{0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) < 0 && errno != EINTR) {
        return fail(os_error_text(errno));
      }
      // Room or not, the send is tried once more: the system signals room
      // only once a good part of the buffer is free, and takes bytes before.
      waited = true;
    }
  }

 private:
  int fd_;
};

// Waits for a non-blocking connect to finish; 0 when connected, else errno.
int finish_connect(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    if (r == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
  }
}

class PosixTcpNetwork final : public TcpNetwork {
 public:
  Outcome<std::vector<TcpAddress>> resolve(const std::string& host, std::uint16_t port) override {
    // A name with a NUL in it names no host; the C resolver would read only
    // the part before the NUL and connect somewhere else.
    if (host.find('\0') != std::string::npos) return resolver_error(EAI_NONAME);
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // Literals first, so that they never reach the resolver.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc == EAI_NONAME) {
      hints.ai_flags = AI_NUMERICSERV;
      rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    }
    if (rc != 0) return resolver_error(rc);
    std::vector<TcpAddress> addresses;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
      addresses.push_back({std::string(reinterpret_cast<const char*>(a->ai_addr), a->ai_addrlen)});
    }
    ::freeaddrinfo(list);
    return addresses;
  }

  Outcome<std::unique_ptr<TcpConnection>> connect(const TcpAddress& address,
                                                  std::chrono::milliseconds timeout) override {
    sockaddr_storage storage{};
    if (address.bytes.size() > sizeof storage) return fail(os_error_text(EINVAL));
    std::memcpy(&storage, address.bytes.data(), address.bytes.size());
    const auto* sa = reinterpret_cast<const sockaddr*>(&storage);
    const auto len = static_cast<socklen_t>(address.bytes.size());

    const int fd = ::socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) return fail(os_error_text(errno));
    auto connection = std::make_unique<PosixTcpConnection>(fd);  // closes on every path
    int error = 0;
    if (::connect(fd, sa, len) != 0) {
      error = errno == EINPROGRESS ? finish_connect(fd, timeout) : errno;
    }
    if (error != 0) return fail(os_error_text(error));
    // The socket stays non-blocking: every send and receive waits with poll(),
    // within its own bound.
    return std::unique_ptr<TcpConnection>(std::move(connection));
  }
};

}  // namespace

TcpNetwork& system_tcp_network() {
  static PosixTcpNetwork network;
  return network;
}

}  // namespace zunel
