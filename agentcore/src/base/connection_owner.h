#pragma once
// Who opened a loopback connection: the local user (POSIX) or the logon
// session (Windows) that holds the other end of a TCP connection this
// process accepted on 127.0.0.1. It is read from the system's own table of
// sockets, looked up by the connection's exact four ends as the other side
// sees them (its source is our remote end, its destination our local end),
// so that the answer is never this process's own end. One implementation
// per OS; tests of callers replace it with a recording fake.

#include <boost/asio/ip/address_v4.hpp>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zunel {

// One end of a TCP connection over IPv4.
struct TcpEnd {
  boost::asio::ip::address_v4 address;
  std::uint16_t port = 0;
};

// A connection as the side that accepted it sees it.
struct AcceptedConnection {
  TcpEnd local;
  TcpEnd remote;
};

// A user of a POSIX system: the uid that created the other end's socket.
// The socket's inode tells which socket it was (not who).
struct PosixUser {
  std::uint32_t uid = 0;
  std::uint64_t socket_inode = 0;
};

// A Windows logon session: the session of the process that holds the other
// end, and the user (its token's SID, as bytes) when that process could be
// opened; empty otherwise. The process id tells which process it was.
struct WindowsSession {
  std::uint32_t session_id = 0;
  std::vector<std::uint8_t> user_sid;
  std::uint32_t process_id = 0;
};

// Why the owner is not known.
enum class UnknownReason {
  // No socket of this machine (of this network namespace) has that end:
  // it closed, or the ends given were wrong.
  not_found,
  // The other end exists but no process holds it: closed and lingering
  // (TIME_WAIT, orphaned), or the system names no process (Windows gives
  // process id 0, which Wine does for every socket).
  no_process,
  // More than one socket has that end (a table that makes no sense).
  ambiguous,
  // The system's table holds more connections than the bound lets us read.
  too_many_connections,
  // The system refused to tell (its text in `detail`).
  system_error,
};

struct UnknownOwner {
  UnknownReason reason = UnknownReason::not_found;
  std::string detail;  // the system's text, when it gave one
};

using ConnectionOwner = std::variant<UnknownOwner, PosixUser, WindowsSession>;

inline bool owner_known(const ConnectionOwner& owner) { return !std::holds_alternative<UnknownOwner>(owner); }

// Whether two owners are the same user (the uid; on Windows the session and
// the SID bytes, both). An unknown owner is never the same as anyone, not
// even another unknown owner; the socket's inode and the process id are
// not compared.
bool same_owner(const ConnectionOwner& a, const ConnectionOwner& b);

// The system's table of sockets.
class ConnectionOwners {
 public:
  virtual ~ConnectionOwners() = default;
  // Who holds the other end of `connection`. Bounded in memory and time: a
  // table too large to read within the bound gives too_many_connections.
  virtual ConnectionOwner owner_of(const AcceptedConnection& connection) = 0;
};

// Linux: netlink's socket diagnostics (one exact lookup, bounded by a
// receive time-out), or /proc/net/tcp and tcp6 where netlink is not
// available. Windows: GetExtendedTcpTable, then the process's session and
// token.
ConnectionOwners& system_connection_owners();

}  // namespace zunel
