#include "service/autostart_platform.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace zunel {
namespace {

namespace fs = std::filesystem;

SystemError last_error() { return system_error_from_code(static_cast<std::int32_t>(GetLastError())); }

bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool is_directory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Deletes one entry: a file, or a directory link or junction (only the link).
bool delete_single(const std::wstring& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  return is_directory(attributes) ? RemoveDirectoryW(path.c_str()) != 0
                                  : DeleteFileW(path.c_str()) != 0;
}

// Deletes a real directory and its contents; links inside are deleted, never entered.
bool delete_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  } else {
    bool ok = true;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = dir + L"\\" + name;
      const DWORD attributes = found.dwFileAttributes;
      ok = is_directory(attributes) && !is_link(attributes) ? delete_tree(child)
                                                             : delete_single(child, attributes);
    } while (ok && FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (!ok) {
      SetLastError(error);
      return false;
    }
    if (error != ERROR_NO_MORE_FILES) return false;
  }
  return RemoveDirectoryW(dir.c_str()) != 0;
}

class WinFileSystem final : public FileSystem {
 public:
  Outcome<void, SystemError> create_directories(const fs::path& dir) override {
    const int rc = SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    if (rc == ERROR_SUCCESS) return {};
    if (rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) {
      const DWORD attributes = GetFileAttributesW(dir.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && is_directory(attributes)) return {};
    }
    return system_error_from_code(rc);
  }

  Outcome<EntryInfo, SystemError> metadata(const fs::path& path, bool follow_links) override {
    if (!follow_links) {
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return last_error();
      EntryInfo info;
      info.type = is_link(data.dwFileAttributes)        ? EntryType::Link
                  : is_directory(data.dwFileAttributes) ? EntryType::Directory
                                                        : EntryType::File;
      info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      return info;
    }
    // Opening the path follows links to their target.
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    BY_HANDLE_FILE_INFORMATION data;
    const BOOL ok = GetFileInformationByHandle(h, &data);
    const SystemError error = ok ? SystemError{} : last_error();
    CloseHandle(h);
    if (!ok) return error;
    EntryInfo info;
    info.type = is_directory(data.dwFileAttributes) ? EntryType::Directory : EntryType::File;
    info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return info;
  }

  Outcome<fs::path, SystemError> absolute(const fs::path& path) override {
    // Only existing paths count as resolved, as on POSIX.
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return last_error();
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return last_error();
    std::wstring out(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, out.data(), nullptr);
    if (length == 0 || length >= size) return last_error();
    out.resize(length);
    return fs::path(out);
  }

  Outcome<void, SystemError> remove_entry(const fs::path& path) override {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if (!delete_single(path.wstring(), attributes)) return last_error();
    return {};
  }

  Outcome<void, SystemError> remove_tree(const fs::path& dir) override {
    if (!delete_tree(dir.wstring())) return last_error();
    return {};
  }
};

}  // namespace

FileSystem& system_file_system() {
  static WinFileSystem files;
  return files;
}

}  // namespace zunel
