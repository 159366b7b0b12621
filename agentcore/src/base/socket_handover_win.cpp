#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "base/os_error.h"
#include "base/socket_description.h"
#include "base/socket_handover.h"

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

static_assert(sizeof(WSAPROTOCOL_INFOW) <= MAX_HANDOVER_BODY);

Error wsa_error(int code) { return fail(os_error_text(code, SYSTEM_ERROR_STAND_IN)); }

Status send_all(SOCKET channel, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int n = ::send(channel, reinterpret_cast<const char*>(bytes.data()), piece, 0);
    if (n == SOCKET_ERROR) return wsa_error(WSAGetLastError());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Status receive_all(SOCKET channel, std::span<std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int n = ::recv(channel, reinterpret_cast<char*>(bytes.data()), piece, 0);
    if (n == SOCKET_ERROR) return wsa_error(WSAGetLastError());
    if (n == 0) return fail("el canal se cerró");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

// The protocol of a connected TCP socket; nothing for anything else.
std::optional<tcp> connected_tcp(SOCKET socket) {
  WSAPROTOCOL_INFOW info{};
  int size = sizeof info;
  if (::getsockopt(socket, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &size) != 0 ||
      info.iSocketType != SOCK_STREAM || info.iProtocol != IPPROTO_TCP ||
      (info.iAddressFamily != AF_INET && info.iAddressFamily != AF_INET6)) {
    return std::nullopt;
  }
  sockaddr_storage peer{};
  int peer_size = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0) return std::nullopt;
  return info.iAddressFamily == AF_INET ? tcp::v4() : tcp::v6();
}

// A socket belongs to at most one completion port, and its duplicates to
// the same one: a socket that Asio accepted is bound to that io_context's
// port, and the receiver's Asio could not take its duplicate (Asio's assign
// fails with ERROR_INVALID_PARAMETER). FileReplaceCompletionInformation
// (Windows 8.1) with no port undoes the bond; the sender's copy is then only
// good for closing. A socket bound to no port is refused the change, which
// changes nothing.
void leave_completion_port(SOCKET socket) {
  constexpr auto FILE_REPLACE_COMPLETION_INFORMATION = static_cast<FILE_INFORMATION_CLASS>(61);
  struct {
    HANDLE port;
    void* key;
  } no_port{nullptr, nullptr};
  IO_STATUS_BLOCK status{};
  NtSetInformationFile(reinterpret_cast<HANDLE>(socket), &status, &no_port, sizeof no_port,
                       FILE_REPLACE_COMPLETION_INFORMATION);
}

class WindowsSocketHandover final : public SocketHandover {
 public:
  Status send(NativeSocket channel, NativeSocket socket, std::uint32_t receiver_process_id) override {
    const auto description = describe_socket_for(socket, receiver_process_id);
    if (!description) return fail(description.error());
    const auto header = handover_header(static_cast<std::uint32_t>(description->size()));
    std::vector<std::uint8_t> message(header.begin(), header.end());
    message.insert(message.end(), description->begin(), description->end());
    return send_all(channel, message);
  }

  // A header that announces another size leaves the channel out of step:
  // the caller closes it.
  Outcome<tcp::socket> receive(NativeSocket channel, asio::io_context& io) override {
    std::array<std::uint8_t, HANDOVER_HEADER_SIZE> header{};
    if (Status read = receive_all(channel, header); !read) return fail(read.error());
    const auto body_size = handover_body_size(header);
    if (!body_size || *body_size != sizeof(WSAPROTOCOL_INFOW))
      return fail("encabezado de traspaso no válido");
    std::vector<std::uint8_t> description(*body_size);
    if (Status read = receive_all(channel, description); !read) return fail(read.error());
    return socket_from_description(description, io);
  }
};

}  // namespace

Outcome<std::vector<std::uint8_t>> describe_socket_for(NativeSocket socket, std::uint32_t process_id) {
  leave_completion_port(socket);
  WSAPROTOCOL_INFOW info{};
  if (::WSADuplicateSocketW(socket, process_id, &info) != 0) return wsa_error(WSAGetLastError());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
  return std::vector<std::uint8_t>(bytes, bytes + sizeof info);
}

Outcome<tcp::socket> socket_from_description(std::span<const std::uint8_t> description,
                                             asio::io_context& io) {
  if (description.size() != sizeof(WSAPROTOCOL_INFOW)) return fail("descripción de socket no válida");
  WSAPROTOCOL_INFOW info{};
  std::memcpy(&info, description.data(), sizeof info);
  // Made even when the description claims another kind of socket: closing
  // what it stands for is the only way to give the duplicate back.
  const SOCKET made =
      ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, WSA_FLAG_OVERLAPPED);
  if (made == INVALID_SOCKET) return wsa_error(WSAGetLastError());
  const auto protocol = connected_tcp(made);
  if (!protocol) {
    ::closesocket(made);
    return fail("el socket recibido no es un socket TCP conectado");
  }
  tcp::socket socket(io);
  boost::system::error_code ec;
  socket.assign(*protocol, made, ec);
  if (ec) {
    ::closesocket(made);
    return fail(os_error_text(ec));
  }
  return socket;
}

SocketHandover& system_socket_handover() {
  static WindowsSocketHandover handover;
  return handover;
}

}  // namespace zunel
