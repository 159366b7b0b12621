#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/build_config.h"
#include "base/os_error.h"
#include "base/unique_fd_posix.h"
#include "router/router_channel.h"
#include "router/router_place.h"

namespace zunel {
namespace {

Error system_failure(const char* step) { return fail(std::string(step) + ": " + os_error_text(errno)); }

bool fill_address(sockaddr_un& address) {
  const std::string path = router_socket_path().string();
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::optional<PlaceFacts> facts(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return PlaceFacts{static_cast<std::uint32_t>(st.st_uid), static_cast<std::uint32_t>(st.st_mode & 07777),
                    S_ISDIR(st.st_mode), S_ISSOCK(st.st_mode)};
}

}  // namespace

std::uint32_t router_owner_uid() {
  if (test_hooks_enabled() && std::getenv("ZUNEL_TEST_ROUTER_DIR") != nullptr) {
    if (auto dir = facts(router_directory())) return dir->owner;
  }
  return 0;
}

RouterFound connect_to_router() {
  RouterFound found;
  const auto socket_facts = facts(router_socket_path());
  if (!socket_facts) return found;
  found.state = RouterFound::State::refused;
  const auto dir_facts = facts(router_directory());
  if (!dir_facts) {
    found.why = "no se puede leer el directorio";
    return found;
  }
  sockaddr_un address{};
  if (!fill_address(address)) {
    found.why = "ruta demasiado larga";
    return found;
  }
  UniqueFd channel(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!channel || ::connect(channel.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    found.why = "no se pudo conectar: " + os_error_text(errno);
    return found;
  }
  auto peer = channel_peer_uid(channel.get());
  if (!peer) {
    found.why = peer.error();
    return found;
  }
  if (auto refused = router_place_refused(*dir_facts, *socket_facts, *peer, router_owner_uid())) {
    found.why = *refused;
    return found;
  }
  found.state = RouterFound::State::connected;
  found.channel = channel.release();
  return found;
}

Outcome<NativeSocket> open_router_socket() {
  const auto dir = router_directory();
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return system_failure("mkdir");
  // An existing directory is made the router's again: its owner, its mode.
  if (::chown(dir.c_str(), ::geteuid(), ::getegid()) != 0) return system_failure("chown");
  if (::chmod(dir.c_str(), 0755) != 0) return system_failure("chmod");
  sockaddr_un address{};
  if (!fill_address(address)) return fail("ruta demasiado larga");
  ::unlink(address.sun_path);
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return system_failure("socket");
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return system_failure("bind");
  }
  if (::chmod(address.sun_path, 0666) != 0) return system_failure("chmod");
  if (::listen(listener.get(), 16) != 0) return system_failure("listen");
  return listener.release();
}

Outcome<NativeSocket> accept_agent(NativeSocket router_socket) {
  const int channel = ::accept4(router_socket, nullptr, nullptr, SOCK_CLOEXEC);
  if (channel < 0) return system_failure("accept");
  return channel;
}

Outcome<std::uint32_t> channel_peer_uid(NativeSocket channel) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(channel, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    return system_failure("SO_PEERCRED");
  }
  return static_cast<std::uint32_t>(credentials.uid);
}

bool channel_open(NativeSocket channel) {
  pollfd p{channel, POLLRDHUP, 0};
  const int ready = ::poll(&p, 1, 0);
  return ready == 0 || (ready > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0);
}

Outcome<std::size_t> read_channel(NativeSocket channel, void* buffer, std::size_t size, int timeout_ms) {
  pollfd p{channel, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeout_ms);
  if (ready < 0) return system_failure("poll");
  if (ready == 0) return fail("tiempo agotado");
  const ssize_t n = ::recv(channel, buffer, size, 0);
  if (n < 0) return system_failure("recv");
  return static_cast<std::size_t>(n);
}

Status write_channel(NativeSocket channel, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(channel, bytes, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return system_failure("send");
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status make_channel_nonblocking(NativeSocket channel) {
  const int flags = ::fcntl(channel, F_GETFL);
  if (flags < 0 || ::fcntl(channel, F_SETFL, flags | O_NONBLOCK) != 0) return system_failure("fcntl");
  return {};
}

void close_channel(NativeSocket channel) { ::close(channel); }

}  // namespace zunel
