#include "service/system_error.h"

#include <windows.h>

#include <string>

namespace zunel {
namespace {

// ERROR_VIRUS_INFECTED and ERROR_ACCESS_DISABLED_BY_POLICY, spelled out
// because older SDK headers lack the names.
constexpr std::int32_t VIRUS_INFECTED = 225;
constexpr std::int32_t BLOCKED_BY_GROUP_POLICY = 1260;

std::string utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

std::string message_text(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? utf8(buffer, static_cast<int>(length)) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  // System messages end with a line break that would split the detail line.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "error del sistema" : text;
}

}  // namespace

SystemError system_error_from_code(std::int32_t code) {
  SystemError e;
  e.text = message_text(static_cast<DWORD>(code)) + " (os error " + std::to_string(code) + ")";
  e.code = code;
  e.not_found = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  return e;
}

std::optional<FailureKind> failure_kind_for_os_code(std::int32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return FailureKind::MissingFile;
    case ERROR_ACCESS_DENIED: return FailureKind::WriteBlocked;
    case ERROR_SHARING_VIOLATION: return FailureKind::AlreadyRunning;
    case VIRUS_INFECTED: return FailureKind::Quarantined;
    case BLOCKED_BY_GROUP_POLICY: return FailureKind::BlockedByPolicy;
    default: return std::nullopt;
  }
}

}  // namespace zunel
