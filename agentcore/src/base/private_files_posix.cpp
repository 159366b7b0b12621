#include "base/private_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/os_error.h"

namespace zunel {

Status create_private_dirs(const std::filesystem::path& dir) {
  const auto os_error = [](int code) -> Error { return fail(os_error_text(code)); };
  // Walk down from the root so each missing level is made 0700 (the umask
  // cannot widen it; mkdir only narrows).
  std::filesystem::path partial;
  for (const auto& part : dir) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return os_error(errno);
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return os_error(errno);
  if (!S_ISDIR(st.st_mode)) return os_error(ENOTDIR);
  // A directory someone else made (a shared /tmp) could be watched or swapped.
  if (st.st_uid != getuid()) return os_error(EPERM);
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return os_error(errno);
  return {};
}

}  // namespace zunel
