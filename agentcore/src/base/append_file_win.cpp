#include "base/append_file.h"

#include <windows.h>

#include "base/os_error.h"
#include "base/private_files.h"

namespace zunel {
namespace {

Error os_error(DWORD code) { return fail(os_error_text(static_cast<int>(code), SYSTEM_ERROR_STAND_IN)); }

struct Handle {
  explicit Handle(HANDLE h) : h(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  HANDLE h;
};

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, never what it points
// at; what was opened must be a disk file that is neither a directory nor a
// link (a pipe or a device has another file type).
Outcome<std::unique_ptr<Handle>> open_regular(const std::filesystem::path& path, DWORD access, DWORD disposition) {
  auto file = std::make_unique<Handle>(CreateFileW(path.wstring().c_str(), access,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                                   nullptr));
  if (file->h == INVALID_HANDLE_VALUE) return os_error(GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file->h) != FILE_TYPE_DISK || !GetFileInformationByHandle(file->h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return os_error(ERROR_INVALID_FUNCTION);
  }
  return file;
}

std::uint64_t size_of(HANDLE file) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

class WinAppendFile final : public AppendFile {
 public:
  WinAppendFile(std::unique_ptr<Handle> file, std::uint64_t size) : file_(std::move(file)), size_(size) {}

  Status append(std::string_view bytes) override {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size_);
    if (!SetFilePointerEx(file_->h, end, nullptr, FILE_BEGIN)) return os_error(GetLastError());
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const DWORD piece = rest.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(rest.size());
      DWORD written = 0;
      if (!WriteFile(file_->h, rest.data(), piece, &written, nullptr) || written == 0) {
        const DWORD code = GetLastError() != 0 ? GetLastError() : ERROR_DISK_FULL;
        // No torn line stays behind, unless even that fails.
        if (rest.size() != bytes.size() &&
            !(SetFilePointerEx(file_->h, end, nullptr, FILE_BEGIN) && SetEndOfFile(file_->h))) {
          size_ += bytes.size() - rest.size();
        }
        return os_error(code);
      }
      rest.remove_prefix(written);
    }
    size_ += bytes.size();
    return {};
  }

  Status sync() override {
    if (!FlushFileBuffers(file_->h)) return os_error(GetLastError());
    return {};
  }

  std::uint64_t size() const override { return size_; }

 private:
  std::unique_ptr<Handle> file_;
  std::uint64_t size_;
};

class WinAppendFiles final : public AppendFiles {
 public:
  Outcome<std::unique_ptr<AppendFile>> open(const std::filesystem::path& path) override {
    auto file = open_regular(path, GENERIC_WRITE, OPEN_ALWAYS);
    if (!file) return fail(file.error());
    const std::uint64_t size = size_of((*file)->h);
    return std::unique_ptr<AppendFile>(std::make_unique<WinAppendFile>(std::move(*file), size));
  }

  Status replace(const std::filesystem::path& path, std::string_view text) override {
    return write_private_file(path, text);
  }

  Outcome<Tail> read_tail(const std::filesystem::path& path, std::size_t max_bytes) override {
    const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
      return Tail{};
    }
    auto file = open_regular(path, GENERIC_READ, OPEN_EXISTING);
    if (!file) return fail(file.error());
    Tail tail;
    tail.size = size_of((*file)->h);
    const std::uint64_t from = tail.size > max_bytes ? tail.size - max_bytes : 0;
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(from);
    if (!SetFilePointerEx((*file)->h, start, nullptr, FILE_BEGIN)) return os_error(GetLastError());
    tail.text.resize(static_cast<std::size_t>(tail.size - from));
    std::size_t got = 0;
    while (got < tail.text.size()) {
      const std::size_t left = tail.text.size() - got;
      const DWORD piece = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
      DWORD read = 0;
      if (!ReadFile((*file)->h, tail.text.data() + got, piece, &read, nullptr)) return os_error(GetLastError());
      if (read == 0) break;
      got += read;
    }
    tail.text.resize(got);
    return tail;
  }
};

}  // namespace

AppendFiles& system_append_files() {
  static WinAppendFiles files;
  return files;
}

}  // namespace zunel
