#include "base/private_files.h"

#include "base/os_error.h"

namespace zunel {

Status create_private_dirs(const std::filesystem::path& dir) {
  // The per-user folders are private already; nothing to narrow.
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return fail(os_error_text(ec.value(), SYSTEM_ERROR_STAND_IN));
  return {};
}

}  // namespace zunel
