#include "base/private_files.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "base/os_error.h"

namespace zunel {
namespace {

Error os_error(DWORD code) { return fail(os_error_text(static_cast<int>(code), SYSTEM_ERROR_STAND_IN)); }

}  // namespace

Status create_private_dirs(const std::filesystem::path& dir) {
  // The per-user folders are private already; nothing to narrow.
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return fail(os_error_text(ec.value(), SYSTEM_ERROR_STAND_IN));
  return {};
}

Status write_private_file(const std::filesystem::path& target, std::string_view bytes) {
  const std::wstring final_name = target.wstring();
  // Unique among this process's writes; CREATE_NEW refuses a name in use.
  static std::atomic<unsigned> counter{0};
  const std::wstring temp_name = final_name + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter.fetch_add(1));
  const HANDLE file =
      CreateFileW(temp_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error(GetLastError());
  const auto removed = [&](DWORD code) {
    DeleteFileW(temp_name.c_str());
    return os_error(code);
  };
  const auto closed_and_removed = [&](DWORD code) {
    CloseHandle(file);
    return removed(code);
  };
  while (!bytes.empty()) {
    // WriteFile takes a 32-bit length: larger data goes in pieces.
    const DWORD piece = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), piece, &written, nullptr)) return closed_and_removed(GetLastError());
    bytes.remove_prefix(written);
  }
  if (!FlushFileBuffers(file)) return closed_and_removed(GetLastError());
  CloseHandle(file);
  if (!MoveFileExW(temp_name.c_str(), final_name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return removed(GetLastError());
  }
  return {};
}

}  // namespace zunel
