#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "base/connection_owner.h"
#include "base/connection_tables.h"
#include "base/os_error.h"
#include "base/unique_fd_posix.h"

namespace zunel {
namespace {

// The kernel answers an exact lookup at once; no answer by then is a
// failure, not a wait.
constexpr time_t NETLINK_TIMEOUT_SECONDS = 1;
// Rows of /proc/net/tcp (and of tcp6) read at most: about 10 MB of text.
constexpr std::size_t MAX_PROC_ROWS = 65536;

UnknownOwner system_error(int code) { return UnknownOwner{UnknownReason::system_error, os_error_text(code)}; }

bool same_end(const TcpEnd& end, const __be32 address, __be16 port) {
  return end.address.to_bytes() == std::bit_cast<std::array<unsigned char, 4>>(address) &&
         end.port == ntohs(port);
}

// The socket the kernel answered with is the one asked for: the exact four
// ends (an IPv4 socket, or a dual-stack one whose ends are v4-mapped). A
// lookup that missed may answer with a listener on the port.
bool answer_is_peer(const inet_diag_msg& answer, const AcceptedConnection& connection) {
  std::size_t word = 0;
  if (answer.idiag_family == AF_INET6) {
    for (const __be32* address : {answer.id.idiag_src, answer.id.idiag_dst}) {
      if (address[0] != 0 || address[1] != 0 || address[2] != htonl(0xffff)) return false;
    }
    word = 3;
  } else if (answer.idiag_family != AF_INET) {
    return false;
  }
  return same_end(connection.remote, answer.id.idiag_src[word], answer.id.idiag_sport) &&
         same_end(connection.local, answer.id.idiag_dst[word], answer.id.idiag_dport);
}

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

DiagRequest tcp_request(std::uint16_t flags, std::uint32_t sequence) {
  DiagRequest message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | flags;
  message.header.nlmsg_seq = sequence;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return message;
}

// What the kernel answered a request with: its first socket, or the error
// it gave (0: a dump that ended without one; a refused send's errno too).
struct DiagAnswer {
  std::optional<inet_diag_msg> socket;
  int error = 0;
};

// Sends `message` and reads the answer within the socket's time-out and a
// few datagrams.
Outcome<DiagAnswer, UnknownOwner> ask(int netlink, const DiagRequest& message) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return DiagAnswer{std::nullopt, errno};
  }
  alignas(nlmsghdr) std::array<char, 8192> buffer;
  for (int datagrams = 0; datagrams < 4; ++datagrams) {
    const ssize_t n = ::recv(netlink, buffer.data(), buffer.size(), MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return system_error(errno);
    }
    if (static_cast<std::size_t>(n) > buffer.size()) return system_error(EMSGSIZE);
    const std::size_t size = static_cast<std::size_t>(n);
    for (std::size_t at = 0; at + sizeof(nlmsghdr) <= size;) {
      const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data() + at);
      if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > size - at) return system_error(EPROTO);
      at += NLMSG_ALIGN(header->nlmsg_len);
      if (header->nlmsg_seq != message.header.nlmsg_seq) continue;
      if (header->nlmsg_type == NLMSG_DONE) return DiagAnswer{};
      if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return system_error(EPROTO);
        return DiagAnswer{std::nullopt, -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error};
      }
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return system_error(EPROTO);
      return DiagAnswer{*static_cast<const inet_diag_msg*>(NLMSG_DATA(header)), 0};
    }
  }
  return system_error(EPROTO);
}

// Asks the kernel for the one socket whose source is our remote end and
// whose destination is our local end (an exact lookup, not a dump). Nothing
// when netlink cannot answer here, so that the caller asks /proc. The
// kernel says ENOENT both for a socket it does not have and when it has no
// TCP diagnostics (tcp_diag); a dump of no state at all, which ends at once
// where they exist, tells the two apart.
std::optional<ConnectionOwner> netlink_owner(const AcceptedConnection& connection) {
  UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) return std::nullopt;
  const timeval timeout{NETLINK_TIMEOUT_SECONDS, 0};
  if (::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
      ::setsockopt(netlink.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
    return system_error(errno);
  }

  DiagRequest exact = tcp_request(0, 1);
  exact.request.idiag_states = ~0u;
  exact.request.id.idiag_sport = htons(connection.remote.port);
  exact.request.id.idiag_dport = htons(connection.local.port);
  const auto source = connection.remote.address.to_bytes();
  const auto destination = connection.local.address.to_bytes();
  std::memcpy(&exact.request.id.idiag_src[0], source.data(), source.size());
  std::memcpy(&exact.request.id.idiag_dst[0], destination.data(), destination.size());
  const auto answer = ask(netlink.get(), exact);
  if (!answer) return answer.error();
  if (const auto& socket = answer->socket) {
    if (!answer_is_peer(*socket, connection)) return UnknownOwner{UnknownReason::not_found, {}};
    return linux_socket_owner(socket->idiag_state, socket->idiag_uid, socket->idiag_inode);
  }
  if (answer->error != ENOENT) return std::nullopt;

  const auto probe = ask(netlink.get(), tcp_request(NLM_F_DUMP, 2));  // idiag_states 0: no socket
  if (!probe) return probe.error();
  if (probe->socket || probe->error == 0) return UnknownOwner{UnknownReason::not_found, {}};
  return std::nullopt;
}

// /proc/net/tcp, then tcp6 for a dual-stack socket.
ConnectionOwner proc_owner(const AcceptedConnection& connection) {
  std::ifstream tcp("/proc/net/tcp");
  if (!tcp) return system_error(errno);
  ConnectionOwner owner = proc_net_tcp_owner(tcp, false, connection, MAX_PROC_ROWS);
  const auto* unknown = std::get_if<UnknownOwner>(&owner);
  if (unknown == nullptr || unknown->reason != UnknownReason::not_found) return owner;
  std::ifstream tcp6("/proc/net/tcp6");
  if (!tcp6) return owner;  // no IPv6 here
  return proc_net_tcp_owner(tcp6, true, connection, MAX_PROC_ROWS);
}

class LinuxConnectionOwners final : public ConnectionOwners {
 public:
  ConnectionOwner owner_of(const AcceptedConnection& connection) override {
    if (auto owner = netlink_owner(connection)) return *std::move(owner);
    return proc_owner(connection);
  }
};

}  // namespace

ConnectionOwners& system_connection_owners() {
  static LinuxConnectionOwners owners;
  return owners;
}

}  // namespace zunel
