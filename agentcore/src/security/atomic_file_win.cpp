#include "security/atomic_file.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "base/os_error.h"

namespace zunel {
namespace {

Error os_error(const char* step) {
  const DWORD code = GetLastError();
  std::string message = system_message(static_cast<int>(code));
  if (message.empty()) message = "error " + std::to_string(code);
  return fail(std::string(step) + ": " + message);
}

}  // namespace

Status replace_file_atomically(const std::filesystem::path& target, std::string_view bytes) {
  const std::wstring final_name = target.wstring();
  // Unique among this process's saves; CREATE_NEW refuses a name in use.
  static std::atomic<unsigned> counter{0};
  const std::wstring temp_name = final_name + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter.fetch_add(1));
  HANDLE file = CreateFileW(temp_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error("crear el archivo temporal");
  const auto discard = [&](const char* step) {
    Error error = os_error(step);
    CloseHandle(file);
    DeleteFileW(temp_name.c_str());
    return error;
  };
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return discard("escribir el archivo temporal");
    bytes.remove_prefix(written);
  }
  if (!FlushFileBuffers(file)) return discard("volcar el archivo temporal");
  CloseHandle(file);
  if (!MoveFileExW(temp_name.c_str(), final_name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Error error = os_error("reemplazar el archivo");
    DeleteFileW(temp_name.c_str());
    return error;
  }
  return {};
}

}  // namespace zunel
