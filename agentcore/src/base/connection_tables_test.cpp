#include "base/connection_tables.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "base/hex.h"

namespace zunel {
namespace {

using boost::asio::ip::make_address_v4;

// The agent's port, and the port the browser's end took.
constexpr std::uint16_t AGENT_PORT = 47631;   // 0xBA0F
constexpr std::uint16_t CLIENT_PORT = 38934;  // 0x9816

const AcceptedConnection ACCEPTED{{make_address_v4("127.0.0.1"), AGENT_PORT},
                                  {make_address_v4("127.0.0.1"), CLIENT_PORT}};

std::string text(const ConnectionOwner& owner) {
  if (const auto* user = std::get_if<PosixUser>(&owner)) {
    return "uid " + std::to_string(user->uid) + " inode " + std::to_string(user->socket_inode);
  }
  if (const auto* session = std::get_if<WindowsSession>(&owner)) {
    return "session " + std::to_string(session->session_id) + " sid " + to_hex(session->user_sid) + " pid " +
           std::to_string(session->process_id);
  }
  const auto& unknown = std::get<UnknownOwner>(owner);
  static constexpr const char* REASONS[] = {"not_found", "no_process", "ambiguous", "too_many_connections",
                                            "system_error"};
  return std::string("unknown ") + REASONS[static_cast<int>(unknown.reason)];
}

TEST(ConnectionTables, ProcNetTcpGivesTheUserOfTheRowSeenFromTheOtherEnd) {
  const std::string columns =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
  // Recorded on Linux (x86-64), uids and inodes changed: the agent's
  // listener, its end of the connection (uid 998), the browser's (1000).
  const std::string listener =
      "   0: 0100007F:BA0F 00000000:0000 0A 00000000:00000000 00:00000000 00000000   998        0 41001 1 "
      "0000000000000000 100 0 0 10 0\n";
  const std::string ours =
      "   1: 0100007F:BA0F 0100007F:9816 01 00000000:00000000 00:00000000 00000000   998        0 41002 1 "
      "0000000000000000 20 4 30 10 -1\n";
  const std::string peer =
      "   2: 0100007F:9816 0100007F:BA0F 01 00000000:00000000 00:00000000 00000000  1000        0 41003 1 "
      "0000000000000000 20 4 30 10 -1\n";
  const std::string peer_in_time_wait =
      "   2: 0100007F:9816 0100007F:BA0F 06 00000000:00000000 03:00000F9E 00000000     0        0 0 3 "
      "0000000000000000\n";
  const std::string peer_orphaned =
      "   2: 0100007F:9816 0100007F:BA0F 05 00000000:00000000 00:00000000 00000000  1000        0 0 1 "
      "0000000000000000 20 4 30 10 -1\n";
  // A dual-stack socket connected to 127.0.0.1, in tcp6.
  const std::string columns6 =
      "  sl  local_address                         remote_address                        st tx_queue "
      "rx_queue tr "
      "tm->when retrnsmt   uid  timeout inode\n";
  const std::string peer6 =
      "   1: 0000000000000000FFFF00000100007F:9816 0000000000000000FFFF00000100007F:BA0F 01 "
      "00000000:00000000 "
      "00:00000000 00000000  1001        0 41004 1 0000000000000000 20 0 0 10 -1\n";
  const std::string other6 =
      "   2: 00000000000000000000000001000000:9816 00000000000000000000000001000000:BA0F 01 "
      "00000000:00000000 "
      "00:00000000 00000000  1002        0 41005 1 0000000000000000 20 0 0 10 -1\n";
  const struct {
    const char* name;
    std::string table;
    bool ipv6;
    std::size_t max_rows;
    const char* owner;
  } cases[] = {
      {"the peer among the agent's rows", columns + listener + ours + peer, false, 10,
       "uid 1000 inode 41003"},
      {"only the agent's own end", columns + listener + ours, false, 10, "unknown not_found"},
      {"the peer closed, in time-wait with uid 0", columns + ours + peer_in_time_wait, false, 10,
       "unknown no_process"},
      {"the peer closed, orphaned", columns + ours + peer_orphaned, false, 10, "unknown no_process"},
      {"the peer twice", columns + peer + peer, false, 10, "unknown ambiguous"},
      {"more rows than the bound", columns + listener + ours + peer, false, 2,
       "unknown too_many_connections"},
      {"a dual-stack peer in tcp6", columns6 + other6 + peer6, true, 10, "uid 1001 inode 41004"},
      {"::1 is not 127.0.0.1", columns6 + other6, true, 10, "unknown not_found"},
      {"a cut line and garbage", columns + "   2: 0100007F:9816 0100007F:BA0F 01\nxyz\n", false, 10,
       "unknown not_found"},
  };
  for (const auto& c : cases) {
    std::istringstream table(c.table);
    EXPECT_EQ(text(proc_net_tcp_owner(table, c.ipv6, ACCEPTED, c.max_rows)), c.owner) << c.name;
  }
}

// A row of MIB_TCPTABLE_OWNER_PID as Windows lays it out.
struct TableRow {
  std::uint32_t state;
  const char* local;
  std::uint16_t local_port;
  const char* remote;
  std::uint16_t remote_port;
  std::uint32_t pid;
};

void put_dword(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The high 16 bits of a port's DWORD are not defined: `junk` fills them.
std::vector<std::uint8_t> tcp_table(std::initializer_list<TableRow> rows, std::uint8_t junk = 0,
                                    std::size_t count_extra = 0) {
  std::vector<std::uint8_t> bytes;
  put_dword(bytes, static_cast<std::uint32_t>(rows.size() + count_extra));
  for (const TableRow& row : rows) {
    put_dword(bytes, row.state);
    for (const auto& [address, port] :
         {std::pair(row.local, row.local_port), std::pair(row.remote, row.remote_port)}) {
      for (const std::uint8_t b : make_address_v4(address).to_bytes()) bytes.push_back(b);
      bytes.insert(bytes.end(),
                   {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port), junk, junk});
    }
    put_dword(bytes, row.pid);
  }
  return bytes;
}

constexpr std::uint32_t LISTEN = 2;
constexpr std::uint32_t ESTABLISHED = 5;
constexpr std::uint32_t AGENT_PID = 900;
constexpr std::uint32_t BROWSER_PID = 4242;

const TableRow LISTENER{LISTEN, "127.0.0.1", AGENT_PORT, "0.0.0.0", 0, AGENT_PID};
const TableRow OURS{ESTABLISHED, "127.0.0.1", AGENT_PORT, "127.0.0.1", CLIENT_PORT, AGENT_PID};
const TableRow PEER{ESTABLISHED, "127.0.0.1", CLIENT_PORT, "127.0.0.1", AGENT_PORT, BROWSER_PID};

class FakeSessions final : public ProcessSessions {
 public:
  Outcome<std::uint32_t> session_of(std::uint32_t process_id) override {
    asked.push_back(process_id);
    if (session_fails) return fail("Acceso denegado. (os error 5)");
    return 3u;
  }
  std::vector<std::uint8_t> user_sid_of(std::uint32_t process_id) override {
    asked.push_back(process_id);
    return {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};
  }
  bool session_fails = false;
  std::vector<std::uint32_t> asked;
};

TEST(ConnectionTables, WindowsTableGivesTheSessionOfTheProcessOfTheOtherEndsRow) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> table;
    bool session_fails;
    const char* owner;
  } cases[] = {
      {"the peer among the agent's rows",
       tcp_table({LISTENER, OURS, PEER, {ESTABLISHED, "10.0.0.5", 50000, "10.0.0.9", 443, 77}}), false,
       "session 3 sid 010100000000000512000000 pid 4242"},
      {"undefined high bits of the ports", tcp_table({OURS, PEER}, 0xCC), false,
       "session 3 sid 010100000000000512000000 pid 4242"},
      {"only the agent's own end", tcp_table({LISTENER, OURS}), false, "unknown not_found"},
      {"another loopback address",
       tcp_table({{ESTABLISHED, "127.0.0.2", CLIENT_PORT, "127.0.0.1", AGENT_PORT, 5}}), false,
       "unknown not_found"},
      {"process 0, as Wine gives every row",
       tcp_table({OURS, {ESTABLISHED, "127.0.0.1", CLIENT_PORT, "127.0.0.1", AGENT_PORT, 0}}), false,
       "unknown no_process"},
      {"the peer twice", tcp_table({PEER, PEER}), false, "unknown ambiguous"},
      {"a count beyond the bytes", tcp_table({OURS, PEER}, 0, 1), false, "unknown system_error"},
      {"no bytes", {}, false, "unknown system_error"},
      {"a process whose session cannot be read", tcp_table({PEER}), true, "unknown system_error"},
  };
  for (const auto& c : cases) {
    FakeSessions sessions;
    sessions.session_fails = c.session_fails;
    EXPECT_EQ(text(tcp_table_owner(c.table, ACCEPTED, sessions)), c.owner) << c.name;
    for (const std::uint32_t pid : sessions.asked)
      EXPECT_EQ(pid, BROWSER_PID) << c.name << ": only its process";
  }
}

TEST(ConnectionTables, AnUnknownOwnerIsNeverTheSameAsAnyone) {
  const ConnectionOwner unknown = UnknownOwner{UnknownReason::no_process, {}};
  const ConnectionOwner user = PosixUser{1000, 41003};
  const ConnectionOwner session = WindowsSession{3, {1, 2, 3}, 4242};
  EXPECT_FALSE(same_owner(unknown, unknown));
  EXPECT_FALSE(same_owner(unknown, user));
  EXPECT_FALSE(same_owner(user, unknown));
  EXPECT_TRUE(same_owner(user, PosixUser{1000, 1})) << "another socket of the same user";
  EXPECT_FALSE(same_owner(user, PosixUser{1001, 41003}));
  EXPECT_TRUE(same_owner(session, WindowsSession{3, {1, 2, 3}, 17})) << "another process of the same session";
  EXPECT_FALSE(same_owner(session, WindowsSession{4, {1, 2, 3}, 4242}));
  EXPECT_FALSE(same_owner(session, WindowsSession{3, {}, 4242})) << "a user not known is not that user";
  EXPECT_FALSE(same_owner(session, user));
}

}  // namespace
}  // namespace zunel
