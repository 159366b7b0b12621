#include "base/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/os_error.h"

namespace zunel {
namespace {

Error os_error(int code) { return fail(os_error_text(code)); }

}  // namespace

Status create_private_dirs(const std::filesystem::path& dir) {
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

Status write_private_file(const std::filesystem::path& target, std::string_view bytes) {
  const std::filesystem::path directory = target.parent_path().empty() ? "." : target.parent_path();
  // mkstemp creates the file 0600 with a name no other writer uses.
  std::string temp = (directory / (target.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return os_error(errno);
  const auto removed = [&](int code) {
    ::unlink(temp.c_str());
    return os_error(code);
  };
  const auto closed_and_removed = [&](int code) {
    ::close(fd);
    return removed(code);
  };
  if (::fchmod(fd, 0600) != 0) return closed_and_removed(errno);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return closed_and_removed(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) != 0) return closed_and_removed(errno);
  if (::close(fd) != 0) return removed(errno);
  if (::rename(temp.c_str(), target.c_str()) != 0) return removed(errno);
  // Make the rename itself durable. A failure here leaves a complete file
  // either way, so it is not reported.
  const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return {};
}

}  // namespace zunel
