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

Error os_error() { return fail(os_error_text(errno)); }

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
