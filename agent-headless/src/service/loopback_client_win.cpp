#include "service/loopback_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "service/winsock_init.h"

namespace zunel {
namespace {

class Socket {
 public:
  explicit Socket(SOCKET s) : s_(s) {}
  ~Socket() {
    if (s_ != INVALID_SOCKET) ::closesocket(s_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return s_; }

 private:
  SOCKET s_;
};

bool connect_with_timeout(SOCKET s, std::uint16_t port, std::chrono::milliseconds timeout) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  u_long nonblocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonblocking) != 0) return false;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
    if (::select(0, nullptr, &writable, &failed, &tv) <= 0) return false;
    if (FD_ISSET(s, &failed) || !FD_ISSET(s, &writable)) return false;
    int error = 0;
    int len = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 ||
        error != 0) {
      return false;
    }
  }
  u_long blocking = 0;
  return ::ioctlsocket(s, FIONBIO, &blocking) == 0;
}

}  // namespace

std::optional<std::string> loopback_exchange(std::uint16_t port, std::string_view request,
                                             const ExchangeLimits& limits) {
  if (!ensure_winsock()) return std::nullopt;
  Socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (s.get() == INVALID_SOCKET) return std::nullopt;
  if (!connect_with_timeout(s.get(), port, limits.connect_timeout)) return std::nullopt;

  // A failure to set the read limit is ignored, as the probe allows.
  const DWORD read_ms = static_cast<DWORD>(limits.read_timeout.count());
  ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&read_ms),
               sizeof read_ms);

  std::size_t sent = 0;
  while (sent < request.size()) {
    const int n = ::send(s.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (n <= 0) return std::nullopt;
    sent += static_cast<std::size_t>(n);
  }

  std::string answer;
  std::string chunk(limits.read_chunk, '\0');
  while (answer.size() < limits.enough) {
    const int n = ::recv(s.get(), chunk.data(), static_cast<int>(chunk.size()), 0);
    if (n <= 0) break;  // closed, failed or timed out
    answer.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return answer;
}

}  // namespace zunel
