#include "service/autostart_platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zunel {
namespace {

namespace fs = std::filesystem;

class PosixFileSystem final : public FileSystem {
 public:
  // New folders are private to the user, like every folder the agent makes.
  Outcome<void, SystemError> create_directories(const fs::path& dir) override {
    fs::path partial;
    for (const auto& part : dir) {
      partial /= part;
      if (part.empty() || part == "/") continue;
      if (::mkdir(partial.c_str(), 0700) == 0) continue;
      const int error = errno;
      struct stat st {};
      if (error == EEXIST && ::stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      return system_error_from_code(error == EEXIST ? ENOTDIR : error);
    }
    return {};
  }

  Outcome<EntryInfo, SystemError> metadata(const fs::path& path, bool follow_links) override {
    struct stat st {};
    const int rc = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return system_error_from_code(errno);
    EntryInfo info;
    info.type = S_ISLNK(st.st_mode) ? EntryType::Link
                : S_ISDIR(st.st_mode) ? EntryType::Directory
                                      : EntryType::File;
    info.size = static_cast<std::uint64_t>(st.st_size);
    return info;
  }

  Outcome<fs::path, SystemError> absolute(const fs::path& path) override {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return system_error_from_code(errno);
    fs::path out(resolved);
    std::free(resolved);
    return out;
  }

  Outcome<void, SystemError> remove_entry(const fs::path& path) override {
    if (::unlink(path.c_str()) != 0) return system_error_from_code(errno);
    return {};
  }

  Outcome<void, SystemError> remove_tree(const fs::path& dir) override {
    std::error_code ec;
    fs::remove_all(dir, ec);  // links inside are removed, never followed
    if (ec) return system_error_from_code(ec.value());
    return {};
  }
};

}  // namespace

FileSystem& system_file_system() {
  static PosixFileSystem files;
  return files;
}

}  // namespace zunel
