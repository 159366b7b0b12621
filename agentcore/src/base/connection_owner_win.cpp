#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <memory>
#include <vector>

#include "base/connection_owner.h"
#include "base/connection_tables.h"
#include "base/os_error.h"

namespace zunel {
namespace {

// The table read at most: about 170,000 connections.
constexpr DWORD MAX_TABLE_BYTES = 4u << 20;

UnknownOwner system_error(DWORD code) {
  return UnknownOwner{UnknownReason::system_error,
                      os_error_text(static_cast<int>(code), SYSTEM_ERROR_STAND_IN)};
}

struct Handle {
  explicit Handle(HANDLE h) : h(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h != nullptr) CloseHandle(h);
  }
  HANDLE h;
};

class WindowsProcessSessions final : public ProcessSessions {
 public:
  Outcome<std::uint32_t> session_of(std::uint32_t process_id) override {
    DWORD session = 0;
    if (!ProcessIdToSessionId(process_id, &session)) {
      return fail(os_error_text(static_cast<int>(GetLastError()), SYSTEM_ERROR_STAND_IN));
    }
    return static_cast<std::uint32_t>(session);
  }

  std::vector<std::uint8_t> user_sid_of(std::uint32_t process_id) override {
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (process.h == nullptr) return {};
    HANDLE token_handle = nullptr;
    if (!OpenProcessToken(process.h, TOKEN_QUERY, &token_handle)) return {};
    const Handle token(token_handle);
    DWORD size = 0;
    GetTokenInformation(token.h, TokenUser, nullptr, 0, &size);
    if (size == 0 || size > 4096) return {};
    // operator new's memory is aligned for TOKEN_USER and its pointer.
    const auto buffer = std::make_unique<std::byte[]>(size);
    if (!GetTokenInformation(token.h, TokenUser, buffer.get(), size, &size)) return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.get())->User.Sid;
    if (!IsValidSid(sid)) return {};
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return std::vector<std::uint8_t>(bytes, bytes + GetLengthSid(sid));
  }
};

// The IPv4 connections with their processes, within the bound. The table
// may grow between asking its size and reading it: a few tries.
Outcome<std::vector<std::uint8_t>, UnknownOwner> read_tcp_table() {
  DWORD size = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<std::uint8_t> table(size);
    DWORD asked = size;
    const DWORD rc = GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &asked, FALSE, AF_INET,
                                         TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (rc == NO_ERROR) return table;
    if (rc != ERROR_INSUFFICIENT_BUFFER) return system_error(rc);
    if (asked > MAX_TABLE_BYTES) return UnknownOwner{UnknownReason::too_many_connections, {}};
    size = asked + 16 * TCP_TABLE_ROW_SIZE;  // room for a few new ones
  }
  return UnknownOwner{UnknownReason::too_many_connections, {}};
}

class WindowsConnectionOwners final : public ConnectionOwners {
 public:
  ConnectionOwner owner_of(const AcceptedConnection& connection) override {
    const auto table = read_tcp_table();
    if (!table) return table.error();
    return tcp_table_owner(*table, connection, processes_);
  }

 private:
  WindowsProcessSessions processes_;
};

}  // namespace

ConnectionOwners& system_connection_owners() {
  static WindowsConnectionOwners owners;
  return owners;
}

}  // namespace zunel
