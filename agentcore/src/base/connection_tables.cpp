#include "base/connection_tables.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace zunel {
namespace {

// The kernel's TCP states a socket can be in while a process holds it and
// it is connected.
constexpr unsigned TCP_ESTABLISHED = 1;
constexpr unsigned TCP_FIN_WAIT1 = 4;
constexpr unsigned TCP_FIN_WAIT2 = 5;
constexpr unsigned TCP_CLOSE_WAIT = 8;
constexpr unsigned TCP_LAST_ACK = 9;
constexpr unsigned TCP_CLOSING = 11;

bool held_state(unsigned state) {
  switch (state) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING: return true;
    default: return false;
  }
}

bool same_end(const TcpEnd& a, const TcpEnd& b) { return a.address == b.address && a.port == b.port; }

template <typename T>
std::optional<T> parse_number(std::string_view text, int base) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// "0100007F:1F90" (tcp) or "0000000000000000FFFF00000100007F:1F90" (tcp6):
// the address as the kernel prints it, each 32-bit word of it in this
// machine's own byte order, then the port. Nothing for an IPv6 address that
// is not v4-mapped.
std::optional<TcpEnd> proc_end(std::string_view field, bool ipv6) {
  const std::size_t digits = ipv6 ? 32 : 8;
  if (field.size() != digits + 5 || field[digits] != ':') return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t word = 0; word < digits / 8; ++word) {
    const auto value = parse_number<std::uint32_t>(field.substr(word * 8, 8), 16);
    if (!value) return std::nullopt;
    std::memcpy(bytes.data() + word * 4, &*value, 4);
  }
  const auto port = parse_number<std::uint16_t>(field.substr(digits + 1), 16);
  if (!port) return std::nullopt;
  std::size_t v4 = 0;
  if (ipv6) {
    constexpr std::array<std::uint8_t, 12> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes.data(), mapped.data(), mapped.size()) != 0) return std::nullopt;
    v4 = 12;
  }
  return TcpEnd{boost::asio::ip::address_v4({bytes[v4], bytes[v4 + 1], bytes[v4 + 2], bytes[v4 + 3]}), *port};
}

// The next white-space separated field of `line`.
std::string_view next_field(std::string_view& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

// A row of /proc/net/tcp: "sl local remote st tx:rx tr:when retrnsmt uid
// timeout inode …".
struct ProcRow {
  TcpEnd local;
  TcpEnd remote;
  unsigned state = 0;
  std::uint32_t uid = 0;
  std::uint64_t inode = 0;
};

std::optional<ProcRow> proc_row(std::string_view line, bool ipv6) {
  std::array<std::string_view, 10> fields;
  for (std::string_view& field : fields) {
    field = next_field(line);
    if (field.empty()) return std::nullopt;
  }
  const auto local = proc_end(fields[1], ipv6);
  const auto remote = proc_end(fields[2], ipv6);
  const auto state = parse_number<unsigned>(fields[3], 16);
  const auto uid = parse_number<std::uint32_t>(fields[7], 10);
  const auto inode = parse_number<std::uint64_t>(fields[9], 10);
  if (!local || !remote || !state || !uid || !inode) return std::nullopt;
  return ProcRow{*local, *remote, *state, *uid, *inode};
}

std::uint32_t dword_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// An address DWORD's bytes lie in network order; a port DWORD's first two.
TcpEnd table_end(std::span<const std::uint8_t> row, std::size_t at) {
  return TcpEnd{boost::asio::ip::address_v4({row[at], row[at + 1], row[at + 2], row[at + 3]}),
                static_cast<std::uint16_t>(row[at + 4] << 8 | row[at + 5])};
}

}  // namespace

ConnectionOwner linux_socket_owner(unsigned state, std::uint32_t uid, std::uint64_t inode) {
  if (!held_state(state) || inode == 0) return UnknownOwner{UnknownReason::no_process, {}};
  return PosixUser{uid, inode};
}

ConnectionOwner proc_net_tcp_owner(std::istream& table, bool ipv6, const AcceptedConnection& connection,
                                   std::size_t max_rows) {
  std::string line;
  std::getline(table, line);  // the column names
  std::optional<ProcRow> found;
  std::size_t rows = 0;
  while (std::getline(table, line)) {
    if (++rows > max_rows) return UnknownOwner{UnknownReason::too_many_connections, {}};
    const auto row = proc_row(line, ipv6);
    if (!row || !same_end(row->local, connection.remote) || !same_end(row->remote, connection.local))
      continue;
    if (found) return UnknownOwner{UnknownReason::ambiguous, {}};
    found = row;
  }
  if (!found) return UnknownOwner{UnknownReason::not_found, {}};
  return linux_socket_owner(found->state, found->uid, found->inode);
}

Outcome<std::uint32_t, UnknownOwner> tcp_table_peer_process(std::span<const std::uint8_t> table,
                                                            const AcceptedConnection& connection) {
  if (table.size() < 4) return UnknownOwner{UnknownReason::system_error, "short table"};
  const std::size_t count = dword_at(table, 0);
  if (count > (table.size() - 4) / TCP_TABLE_ROW_SIZE) {
    return UnknownOwner{UnknownReason::system_error, "table count beyond its bytes"};
  }
  std::optional<std::uint32_t> found;
  for (std::size_t i = 0; i < count; ++i) {
    const auto row = table.subspan(4 + i * TCP_TABLE_ROW_SIZE, TCP_TABLE_ROW_SIZE);
    if (!same_end(table_end(row, 4), connection.remote) || !same_end(table_end(row, 12), connection.local))
      continue;
    if (found) return UnknownOwner{UnknownReason::ambiguous, {}};
    found = dword_at(row, 20);
  }
  if (!found) return UnknownOwner{UnknownReason::not_found, {}};
  if (*found == 0) return UnknownOwner{UnknownReason::no_process, {}};
  return *found;
}

ConnectionOwner tcp_table_owner(std::span<const std::uint8_t> table, const AcceptedConnection& connection,
                                ProcessSessions& processes) {
  const auto process = tcp_table_peer_process(table, connection);
  if (!process) return process.error();
  const auto session = processes.session_of(*process);
  if (!session) return UnknownOwner{UnknownReason::system_error, session.error()};
  return WindowsSession{*session, processes.user_sid_of(*process), *process};
}

}  // namespace zunel
