#include "service/autostart_platform.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>

#include <memory>
#include <string>
#include <vector>

namespace zunel {
namespace {

namespace fs = std::filesystem;

// CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS.
constexpr DWORD AGENT_CREATION_FLAGS = 0x08000208;

SystemError last_error() { return system_error_from_code(static_cast<std::int32_t>(GetLastError())); }

// Quotes a program path for a command line; paths cannot contain quotes.
std::wstring quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// Sets an environment variable of this process for the lifetime of the
// object and restores the earlier state afterwards; children started in
// between inherit it.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size > 0) {
      std::wstring old(size, L'\0');
      const DWORD length = GetEnvironmentVariableW(name, old.data(), size);
      if (length < size) {
        old.resize(length);
        old_ = old;
        had_ = true;
      }
    }
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const wchar_t* name_;
  std::wstring old_;
  bool had_ = false;
};

// Runs schtasks with `arguments`, its output sent to NUL, and waits for it.
void run_schtasks(const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (nul != INVALID_HANDLE_VALUE) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
  }
  std::wstring command_line = L"schtasks " + arguments;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, nul != INVALID_HANDLE_VALUE,
                     CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
}

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle open_process(DWORD access, DWORD pid) {
  return UniqueHandle(OpenProcess(access, FALSE, pid));
}

// The user a process runs as, as the bytes of its SID; empty when unknown.
std::vector<unsigned char> process_user(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  UniqueHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!IsValidSid(sid)) return {};
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

// Whether the process runs as this process's user, in this logon session.
bool same_user_and_session(HANDLE process, DWORD pid) {
  DWORD session = 0, own_session = 0;
  if (!ProcessIdToSessionId(pid, &session) ||
      !ProcessIdToSessionId(GetCurrentProcessId(), &own_session) || session != own_session) {
    return false;
  }
  const auto user = process_user(process);
  return !user.empty() && user == process_user(GetCurrentProcess());
}

fs::path image_file(HANDLE process) {
  std::wstring buffer(32768, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) return {};
  buffer.resize(size);
  return fs::path(buffer);
}

// The owner of the IPv4 listener on 127.0.0.1:`port` (or on every address);
// 0 when the table does not say.
Outcome<std::optional<DWORD>, SystemError> listener_pid(std::uint16_t port) {
  std::vector<unsigned char> buffer;
  DWORD size = 0;
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size);
    rc = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, AF_INET,
                             TCP_TABLE_OWNER_PID_LISTENER, 0);
  }
  if (rc != NO_ERROR) return system_error_from_code(static_cast<std::int32_t>(rc));
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    const bool address = row.dwLocalAddr == htonl(INADDR_LOOPBACK) || row.dwLocalAddr == 0;
    if (address && ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
      return std::optional<DWORD>(row.dwOwningPid);
    }
  }
  return std::optional<DWORD>{};
}

// What this user may know of process `pid`.
ListeningProcess describe(DWORD pid) {
  ListeningProcess found;
  found.pid = pid;
  // Another user's process cannot be opened, or shows another user.
  if (const auto process = open_process(PROCESS_QUERY_LIMITED_INFORMATION, pid)) {
    found.this_user = same_user_and_session(process.get(), pid);
    found.executable = image_file(process.get());
  }
  return found;
}

// The one process of this user, other than this one, that runs an
// executable of this product; pid 0 when there is none or more than one.
ListeningProcess sole_product_process() {
  ListeningProcess sole;
  const HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (taken == INVALID_HANDLE_VALUE) return sole;
  const UniqueHandle snapshot(taken);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int found = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId() || !is_product_executable(fs::path(entry.szExeFile))) continue;
    const ListeningProcess candidate = describe(entry.th32ProcessID);
    if (!candidate.this_user) continue;
    sole = candidate;
    ++found;
  }
  return found == 1 ? sole : ListeningProcess{};
}

class WinProcesses final : public Processes {
 public:
  Outcome<fs::path, SystemError> own_executable() override {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (length == 0) return last_error();
      if (length < buffer.size()) {
        buffer.resize(length);
        return fs::path(buffer);
      }
      if (buffer.size() >= 32768) return system_error_from_code(ERROR_INSUFFICIENT_BUFFER);
      buffer.resize(buffer.size() * 2);
    }
  }

  Outcome<void, SystemError> start_agent(const fs::path& executable) override {
    const std::wstring program = executable.wstring();
    std::wstring command_line = quoted(program) + L" run";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Set in this process just for the start, so the flags stay exactly the
    // three above (a custom environment block would need one more).
    ScopedEnvironment no_console(L"ZUNEL_NO_CONSOLE", L"1");
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        AGENT_CREATION_FLAGS, nullptr, nullptr, &startup, &process)) {
      return last_error();
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return {};
  }

  void remove_legacy_task() override {
    run_schtasks(L"/End /TN ZunelPrintAgent");
    run_schtasks(L"/Delete /TN ZunelPrintAgent /F");
  }

  Outcome<std::optional<ListeningProcess>, SystemError> listening_process(std::uint16_t port) override {
    auto pid = listener_pid(port);
    if (!pid.ok()) return pid.error();
    if (!pid.value()) return std::optional<ListeningProcess>{};
    // Wine's table gives 0 for the owner of every socket.
    if (*pid.value() == 0) return std::optional<ListeningProcess>(sole_product_process());
    return std::optional<ListeningProcess>(describe(*pid.value()));
  }

  // The handle pins the process: its pid, reused meanwhile, is never ended.
  Outcome<void, SystemError> end_process(const ListeningProcess& process,
                                         std::chrono::milliseconds wait) override {
    const auto handle =
        open_process(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, process.pid);
    if (!handle) {
      if (GetLastError() == ERROR_INVALID_PARAMETER) return {};  // already gone
      return last_error();
    }
    if (WaitForSingleObject(handle.get(), 0) == WAIT_OBJECT_0) return {};
    if (!same_user_and_session(handle.get(), process.pid) || image_file(handle.get()) != process.executable) {
      return SystemError{"el proceso " + std::to_string(process.pid) + " ya no es el agente de este usuario",
                         std::nullopt, false};
    }
    if (!TerminateProcess(handle.get(), 1) && WaitForSingleObject(handle.get(), 0) != WAIT_OBJECT_0) {
      return last_error();
    }
    if (WaitForSingleObject(handle.get(), static_cast<DWORD>(wait.count())) == WAIT_OBJECT_0) return {};
    return SystemError{"el proceso " + std::to_string(process.pid) + " sigue corriendo tras " +
                           std::to_string(wait.count() / 1000) + " s",
                       std::nullopt, false};
  }
};

}  // namespace

Processes& system_processes() {
  static WinProcesses processes;
  return processes;
}

}  // namespace zunel
