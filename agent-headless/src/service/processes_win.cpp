#include "service/autostart_platform.h"

#include <windows.h>

#include <string>

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
};

}  // namespace

Processes& system_processes() {
  static WinProcesses processes;
  return processes;
}

}  // namespace zunel
