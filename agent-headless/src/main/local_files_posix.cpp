#include "main/local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/os_error.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> absolute_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

Error errno_error(int code) { return fail(os_error_text(code)); }
Error os_error() { return errno_error(errno); }

}  // namespace

std::optional<fs::path> roaming_app_data_dir() {
  if (auto xdg = absolute_env("XDG_DATA_HOME")) return xdg;
  if (auto home = absolute_env("HOME")) return *home / ".local" / "share";
  return std::nullopt;
}

fs::path temp_fallback_data_dir() {
  const fs::path tmp = absolute_env("TMPDIR").value_or(fs::path("/tmp"));
  return tmp / ("zunel-print-agent-" + std::to_string(getuid()));
}

Status create_private_dirs(const fs::path& dir) {
  // Walk down from the root so each missing level is made 0700 (the umask
  // cannot widen it; mkdir only narrows).
  fs::path partial;
  for (const auto& part : dir) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return os_error();
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return os_error();
  if (!S_ISDIR(st.st_mode)) return errno_error(ENOTDIR);
  // A directory someone else made (a shared /tmp) could be watched or swapped.
  if (st.st_uid != getuid()) return errno_error(EPERM);
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return os_error();
  return {};
}

Status write_private_file(const fs::path& file, std::string_view content) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return os_error();
  // A file left by an older version with wider rights is narrowed too.
  if (::fchmod(fd, 0600) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return os_error();
  }
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return os_error();
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return os_error();
  return {};
}

std::string display_path(const fs::path& path) { return path.string(); }

}  // namespace zunel
