// The Startup entry outside Windows: an XDG autostart desktop entry.
#include "service/autostart_platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "base/private_files.h"
#include "service/xdg_autostart.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

Outcome<void, SystemError> write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return system_error_from_code(errno);
    done += static_cast<std::size_t>(n);
  }
  return {};
}

class XdgStartupEntry final : public StartupEntry {
 public:
  Outcome<fs::path> entry_path() override {
    return xdg_autostart_entry_path(environment("XDG_CONFIG_HOME"), environment("HOME"));
  }

  // Written to a temporary file beside the entry and renamed over it, so a
  // session that starts meanwhile sees the old entry or the new one, never half.
  Outcome<void, SystemError> write_entry(const fs::path& entry, const fs::path& executable,
                                         std::uint64_t) override {
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on "." + a
    // string in optimised builds.
    std::string temporary_name = ".";
    temporary_name += entry.filename().string();
    temporary_name += '.';
    temporary_name += std::to_string(::getpid());
    temporary_name += ".tmp";
    const fs::path temporary = entry.parent_path() / temporary_name;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return system_error_from_code(errno);
    Outcome<void, SystemError> status = write_all(fd, desktop_entry_text(executable.string()));
    if (status.ok() && ::fsync(fd) != 0) status = system_error_from_code(errno);
    if (::close(fd) != 0 && status.ok()) status = system_error_from_code(errno);
    if (status.ok() && ::rename(temporary.c_str(), entry.c_str()) != 0) {
      status = system_error_from_code(errno);
    }
    if (!status.ok()) ::unlink(temporary.c_str());
    return status;
  }

  // The entry's Exec line.
  Outcome<std::string, SystemError> read_target(const fs::path& entry) override {
    const auto text = read_whole_file(entry);
    if (!text) return SystemError{"no se pudo leer el archivo", std::nullopt, false};
    std::string_view rest(*text);
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      const std::string_view line = rest.substr(0, end);
      if (line.starts_with("Exec=")) return std::string(line.substr(5));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return SystemError{"el archivo no tiene línea Exec", std::nullopt, false};
  }
};

}  // namespace

StartupEntry& system_startup_entry() {
  static XdgStartupEntry entry;
  return entry;
}

}  // namespace zunel
