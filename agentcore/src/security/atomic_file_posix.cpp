#include "security/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/os_error.h"

namespace zunel {
namespace {

Error os_error(const char* step) { return fail(std::string(step) + ": " + system_message(errno)); }

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Status replace_file_atomically(const std::filesystem::path& target, std::string_view bytes) {
  const std::filesystem::path directory = target.parent_path().empty() ? "." : target.parent_path();
  // mkstemp creates the file 0600 with a name no other writer uses.
  std::string temp = (directory / (target.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return os_error("crear el archivo temporal");
  const auto discard = [&](const char* step) {
    Error error = os_error(step);
    ::close(fd);
    ::unlink(temp.c_str());
    return error;
  };
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) return discard("permisos del archivo temporal");
  if (!write_all(fd, bytes)) return discard("escribir el archivo temporal");
  if (::fsync(fd) != 0) return discard("volcar el archivo temporal");
  if (::close(fd) != 0) {
    Error error = os_error("cerrar el archivo temporal");
    ::unlink(temp.c_str());
    return error;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    Error error = os_error("reemplazar el archivo");
    ::unlink(temp.c_str());
    return error;
  }
  // Make the rename itself durable. A failure here leaves a complete file
  // either way, so it is not reported.
  const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return {};
}

}  // namespace zunel
