#include "printing/tcp_network.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "base/utf8.h"
#include "base/os_error.h"

namespace zunel {
namespace {

class WinTcpConnection final : public TcpConnection {
 public:
  explicit WinTcpConnection(SOCKET s) : s_(s) {}
  ~WinTcpConnection() override { ::closesocket(s_); }
  WinTcpConnection(const WinTcpConnection&) = delete;
  WinTcpConnection& operator=(const WinTcpConnection&) = delete;

  Outcome<std::size_t> receive_some(std::uint8_t* buffer, std::size_t size,
                                    std::chrono::milliseconds timeout) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s_, &readable);
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>(timeout.count() % 1000 * 1000);
    const int r = ::select(0, &readable, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return fail(os_error_text(::WSAGetLastError()));
    if (r == 0) return std::size_t{0};
    // Readable: recv returns at once, with data, 0 for a closed peer, or an
    // error (WSAEWOULDBLOCK only if the data went meanwhile: nothing taken).
    const int chunk = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    const int n = ::recv(s_, reinterpret_cast<char*>(buffer), chunk, 0);
    if (n == SOCKET_ERROR) {
      const int error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK) return std::size_t{0};
      return fail(os_error_text(error));
    }
    if (n == 0) return fail(TCP_CLOSED_BY_PEER);
    return static_cast<std::size_t>(n);
  }

  // The socket is non-blocking: a send takes what fits now, and otherwise
  // waits for room with select() within `wait`, then is tried once more.
  Outcome<std::size_t> send_some(const std::uint8_t* data, std::size_t size,
                                 std::chrono::milliseconds wait) override {
    // send() takes an int count; a larger job goes out over several calls.
    const int chunk = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    for (bool waited = false;;) {
      const int n = ::send(s_, reinterpret_cast<const char*>(data), chunk, 0);
      if (n != SOCKET_ERROR) return static_cast<std::size_t>(n);
      const int error = ::WSAGetLastError();
      if (error != WSAEWOULDBLOCK) return fail(os_error_text(error));
      if (waited) return std::size_t{0};
      fd_set writable;
      FD_ZERO(&writable);
      FD_SET(s_, &writable);
      timeval tv{};
      tv.tv_sec = static_cast<long>(wait.count() / 1000);
      tv.tv_usec = static_cast<long>(wait.count() % 1000 * 1000);
      if (::select(0, nullptr, &writable, nullptr, &tv) == SOCKET_ERROR) {
        return fail(os_error_text(::WSAGetLastError()));
      }
      waited = true;
    }
  }

 private:
  SOCKET s_;
};

// Waits for a non-blocking connect to finish; 0 when connected, else the
// Winsock code.
int finish_connect(SOCKET s, std::chrono::milliseconds timeout) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv{};
  tv.tv_sec = static_cast<long>(timeout.count() / 1000);
  tv.tv_usec = static_cast<long>(timeout.count() % 1000 * 1000);
  const int r = ::select(0, nullptr, &writable, &failed, &tv);
  if (r == SOCKET_ERROR) return ::WSAGetLastError();
  if (r == 0) return WSAETIMEDOUT;
  if (FD_ISSET(s, &writable)) return 0;
  int error = 0;
  int len = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) {
    return ::WSAGetLastError();
  }
  return error != 0 ? error : WSAECONNREFUSED;
}

class WinTcpNetwork final : public TcpNetwork {
 public:
  WinTcpNetwork() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinTcpNetwork() override {
    if (started_) ::WSACleanup();
  }

  Outcome<std::vector<TcpAddress>> resolve(const std::string& host, std::uint16_t port) override {
    // A name with a NUL in it names no host; the resolver would read only
    // the part before the NUL and connect somewhere else.
    if (host.find('\0') != std::string::npos) return fail(os_error_text(WSAHOST_NOT_FOUND));
    const std::u16string wide_host = utf8_to_utf16(host);
    const std::wstring service = std::to_wstring(port);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // Literals first, so that they never reach the resolver.
    hints.ai_flags = AI_NUMERICHOST;
    ADDRINFOW* list = nullptr;
    const auto* name = reinterpret_cast<const wchar_t*>(wide_host.c_str());
    int rc = ::GetAddrInfoW(name, service.c_str(), &hints, &list);
    if (rc == WSAHOST_NOT_FOUND) {
      hints.ai_flags = 0;
      rc = ::GetAddrInfoW(name, service.c_str(), &hints, &list);
    }
    if (rc != 0) return fail(os_error_text(rc));
    std::vector<TcpAddress> addresses;
    for (const ADDRINFOW* a = list; a != nullptr; a = a->ai_next) {
      addresses.push_back({std::string(reinterpret_cast<const char*>(a->ai_addr), a->ai_addrlen)});
    }
    ::FreeAddrInfoW(list);
    return addresses;
  }

  Outcome<std::unique_ptr<TcpConnection>> connect(const TcpAddress& address,
                                                  std::chrono::milliseconds timeout) override {
    sockaddr_storage storage{};
    if (address.bytes.size() > sizeof storage) return fail(os_error_text(WSAEINVAL));
    std::memcpy(&storage, address.bytes.data(), address.bytes.size());
    const auto* sa = reinterpret_cast<const sockaddr*>(&storage);

    const SOCKET s = ::WSASocketW(sa->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return fail(os_error_text(::WSAGetLastError()));
    auto connection = std::make_unique<WinTcpConnection>(s);  // closes on every path
    u_long non_blocking = 1;
    if (::ioctlsocket(s, FIONBIO, &non_blocking) != 0) return fail(os_error_text(::WSAGetLastError()));
    int error = 0;
    if (::connect(s, sa, static_cast<int>(address.bytes.size())) != 0) {
      error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK) error = finish_connect(s, timeout);
    }
    if (error != 0) return fail(os_error_text(error));
    // The socket stays non-blocking: every send and receive waits with
    // select(), within its own bound.
    return std::unique_ptr<TcpConnection>(std::move(connection));
  }

 private:
  bool started_ = false;
};

}  // namespace

TcpNetwork& system_tcp_network() {
  static WinTcpNetwork network;
  return network;
}

}  // namespace zunel
