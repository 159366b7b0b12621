#include "service/system_error.h"

#include <windows.h>

#include "base/os_error.h"

namespace zunel {
namespace {

// ERROR_VIRUS_INFECTED and ERROR_ACCESS_DISABLED_BY_POLICY, spelled out
// because older SDK headers lack the names.
constexpr std::int32_t VIRUS_INFECTED = 225;
constexpr std::int32_t BLOCKED_BY_GROUP_POLICY = 1260;

}  // namespace

SystemError system_error_from_code(std::int32_t code) {
  SystemError e;
  e.text = os_error_text(code, SYSTEM_ERROR_STAND_IN);
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
