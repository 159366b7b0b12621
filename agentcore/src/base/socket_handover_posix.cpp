#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/os_error.h"
#include "base/socket_handover.h"
#include "base/unique_fd_posix.h"

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

Error os_error(int code) { return fail(os_error_text(code)); }

// Writes all of `bytes`; the first write carries `control` when given.
Status send_all(int channel, std::span<const std::uint8_t> bytes, msghdr* control) {
  while (!bytes.empty()) {
    iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    if (control != nullptr) message = *control;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    const ssize_t n = ::sendmsg(channel, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    control = nullptr;  // the descriptor went with the first byte
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

// Reads exactly `bytes.size()` bytes.
Status receive_all(int channel, std::span<std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::recv(channel, bytes.data(), bytes.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    if (n == 0) return fail("el canal se cerró a mitad de un traspaso");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

// The protocol of a connected TCP socket; nothing for anything else (a
// pipe, a file, a Unix socket, a listener, a datagram socket).
std::optional<tcp> connected_tcp(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
  int type = 0;
  int protocol = 0;
  int domain = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) return std::nullopt;
  size = sizeof protocol;
  if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) != 0 || protocol != IPPROTO_TCP) {
    return std::nullopt;
  }
  size = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 ||
      (domain != AF_INET && domain != AF_INET6)) {
    return std::nullopt;
  }
  sockaddr_storage peer{};
  size = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return std::nullopt;
  return domain == AF_INET ? tcp::v4() : tcp::v6();
}

class PosixSocketHandover final : public SocketHandover {
 public:
  Status send(NativeSocket channel, NativeSocket socket, std::uint32_t /*receiver_process_id*/) override {
    const auto header = handover_header(0);
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    msghdr message{};
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &socket, sizeof(int));
    return send_all(channel, header, &message);
  }

  Outcome<tcp::socket> receive(NativeSocket channel, asio::io_context& io) override {
    std::array<std::uint8_t, HANDOVER_HEADER_SIZE> header{};
    // Room for one descriptor more than a message may carry, so that a
    // second one is seen (and closed) rather than cut off.
    alignas(cmsghdr) std::array<char, CMSG_SPACE(2 * sizeof(int))> control{};
    iovec piece{header.data(), header.size()};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    ssize_t n;
    do {
      n = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return os_error(errno);

    // Every descriptor that came is ours to close from here on.
    std::vector<UniqueFd> received;
    bool other_control = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
        other_control = true;
        continue;
      }
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        received.emplace_back(fd);
      }
    }
    if (n == 0) return fail("el canal se cerró");
    if ((message.msg_flags & MSG_CTRUNC) != 0 || other_control)
      return fail("traspaso con datos de control inesperados");
    if (received.size() != 1) return fail("traspaso sin exactamente un descriptor");

    const auto rest = std::span<std::uint8_t>(header).subspan(static_cast<std::size_t>(n));
    if (Status read = receive_all(channel, rest); !read) return fail(read.error());
    const auto body_size = handover_body_size(header);
    if (!body_size || *body_size != 0) return fail("encabezado de traspaso no válido");

    const auto protocol = connected_tcp(received[0].get());
    if (!protocol) return fail("el descriptor recibido no es un socket TCP conectado");
    tcp::socket socket(io);
    boost::system::error_code ec;
    socket.assign(*protocol, received[0].get(), ec);
    if (ec) return fail(os_error_text(ec));
    received[0].release();
    return socket;
  }
};

}  // namespace

SocketHandover& system_socket_handover() {
  static PosixSocketHandover handover;
  return handover;
}

}  // namespace zunel
