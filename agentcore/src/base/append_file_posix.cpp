#include "base/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/os_error.h"
#include "base/private_files.h"

namespace zunel {
namespace {

Error os_error(int code) { return fail(os_error_text(code)); }

// A descriptor closed with its owner.
struct Descriptor {
  explicit Descriptor(int fd) : fd(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

// O_NOFOLLOW refuses a symbolic link; O_NONBLOCK keeps a FIFO from holding
// the open; the type is checked on what was opened.
Outcome<std::unique_ptr<Descriptor>> open_regular(const std::filesystem::path& path, int flags) {
  auto file = std::make_unique<Descriptor>(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (file->fd < 0) return os_error(errno == ELOOP ? EMLINK : errno);
  struct stat st {};
  if (::fstat(file->fd, &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return os_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  // Back to blocking writes and reads.
  if (::fcntl(file->fd, F_SETFL, flags & O_APPEND) != 0) return os_error(errno);
  return file;
}

class PosixAppendFile final : public AppendFile {
 public:
  PosixAppendFile(std::unique_ptr<Descriptor> file, std::uint64_t size) : file_(std::move(file)), size_(size) {}

  Status append(std::string_view bytes) override {
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const ssize_t n = ::write(file_->fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int code = n < 0 ? errno : ENOSPC;
        // No torn line stays behind; when even that fails the next reader
        // skips the torn part as an unreadable line.
        if (rest.size() != bytes.size() && ::ftruncate(file_->fd, static_cast<off_t>(size_)) != 0) {
          size_ += bytes.size() - rest.size();
        }
        return os_error(code);
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    size_ += bytes.size();
    return {};
  }

  Status sync() override {
    if (::fdatasync(file_->fd) != 0) return os_error(errno);
    return {};
  }

  std::uint64_t size() const override { return size_; }

 private:
  std::unique_ptr<Descriptor> file_;
  std::uint64_t size_;
};

class PosixAppendFiles final : public AppendFiles {
 public:
  Outcome<std::unique_ptr<AppendFile>> open(const std::filesystem::path& path) override {
    auto file = open_regular(path, O_WRONLY | O_APPEND | O_CREAT);
    if (!file) return fail(file.error());
    struct stat st {};
    if (::fstat((*file)->fd, &st) != 0) return os_error(errno);
    return std::unique_ptr<AppendFile>(
        std::make_unique<PosixAppendFile>(std::move(*file), static_cast<std::uint64_t>(st.st_size)));
  }

  Status replace(const std::filesystem::path& path, std::string_view text) override {
    return write_private_file(path, text);
  }

  Outcome<Tail> read_tail(const std::filesystem::path& path, std::size_t max_bytes) override {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 && errno == ENOENT) return Tail{};
    auto file = open_regular(path, O_RDONLY);
    if (!file) return fail(file.error());
    struct stat st {};
    if (::fstat((*file)->fd, &st) != 0) return os_error(errno);
    Tail tail;
    tail.size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t from = tail.size > max_bytes ? tail.size - max_bytes : 0;
    tail.text.resize(static_cast<std::size_t>(tail.size - from));
    std::size_t got = 0;
    while (got < tail.text.size()) {
      const ssize_t n = ::pread((*file)->fd, tail.text.data() + got, tail.text.size() - got,
                                static_cast<off_t>(from + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return os_error(errno);
      if (n == 0) break;  // cut short meanwhile
      got += static_cast<std::size_t>(n);
    }
    tail.text.resize(got);
    return tail;
  }
};

}  // namespace

AppendFiles& system_append_files() {
  static PosixAppendFiles files;
  return files;
}

}  // namespace zunel
