#include "service/system_error.h"

#include <cerrno>

#include "base/os_error.h"

namespace zunel {

SystemError system_error_from_code(std::int32_t code) {
  SystemError e;
  e.text = os_error_text(code);
  e.code = code;
  e.not_found = code == ENOENT || code == ENOTDIR;
  return e;
}

std::optional<FailureKind> failure_kind_for_os_code(std::int32_t code) {
  switch (code) {
    case ENOENT: return FailureKind::MissingFile;
    case EACCES:
    case EPERM: return FailureKind::WriteBlocked;
    case ETXTBSY:
    case EBUSY: return FailureKind::AlreadyRunning;
    default: return std::nullopt;
  }
}

}  // namespace zunel
