#pragma once
// The systems' tables of TCP connections, read as the systems give them but
// without calling them: connection_owner's implementations hand them the
// text or bytes they got, and the tests hand them recorded ones. Every OS's
// build has these readers, so their tests run everywhere.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <span>
#include <vector>

#include "base/connection_owner.h"
#include "base/outcome.h"

namespace zunel {

// --- Linux ---------------------------------------------------------------

// The owner of a Linux socket found in the kernel's table, from its TCP
// state (the kernel's numbering: 1 established … 6 time-wait … 10 listen,
// 12 a half-open request), its uid and its inode. A socket no process holds
// any more (time-wait, closed, or inode 0: orphaned) and a listener or a
// request are no_process: the kernel reports uid 0 for some of them, which
// must not read as root.
ConnectionOwner linux_socket_owner(unsigned state, std::uint32_t uid, std::uint64_t inode);

// Looks for the other end of `connection` in the text of /proc/net/tcp, or
// of /proc/net/tcp6 when `ipv6` (where an IPv4 end shows v4-mapped: a
// dual-stack socket connected to 127.0.0.1). The row wanted is the one
// whose local end is our remote end and whose remote end is our local end.
// Reads at most `max_rows` rows (too_many_connections past them), one line
// at a time.
ConnectionOwner proc_net_tcp_owner(std::istream& table, bool ipv6, const AcceptedConnection& connection,
                                   std::size_t max_rows);

// --- Windows -------------------------------------------------------------

// The bytes of MIB_TCPTABLE_OWNER_PID as GetExtendedTcpTable writes them
// (TCP_TABLE_OWNER_PID_*): a DWORD count, then that many rows of six DWORDs
// (state, local address, local port, remote address, remote port, owning
// process id). Windows is little-endian; an address is in network byte
// order, a port in network byte order in the low 16 bits of its DWORD (the
// high 16 bits are not defined).
inline constexpr std::size_t TCP_TABLE_ROW_SIZE = 24;

// The process that holds the other end of `connection`: the one row whose
// local end is our remote end and whose remote end is our local end.
// Unknown when no row is (not_found), several are (ambiguous), the table's
// count does not fit its bytes (system_error), or the row names process 0
// (no_process).
Outcome<std::uint32_t, UnknownOwner> tcp_table_peer_process(std::span<const std::uint8_t> table,
                                                            const AcceptedConnection& connection);

// What Windows tells of a process; tests replace it with a fake.
class ProcessSessions {
 public:
  virtual ~ProcessSessions() = default;
  // ProcessIdToSessionId.
  virtual Outcome<std::uint32_t> session_of(std::uint32_t process_id) = 0;
  // The SID of the process's token user, as bytes; empty when the process
  // or its token cannot be opened.
  virtual std::vector<std::uint8_t> user_sid_of(std::uint32_t process_id) = 0;
};

// The owner of the other end of `connection` from the table's bytes: the
// session of the process of its row, and its user when known.
ConnectionOwner tcp_table_owner(std::span<const std::uint8_t> table, const AcceptedConnection& connection,
                                ProcessSessions& processes);

}  // namespace zunel
