#include "security/atomic_file.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace zunel {
namespace {

Error os_error(const char* step) {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message;
  if (n > 0 && text != nullptr) {
    const int len = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    message.resize(static_cast<std::size_t>(len > 0 ? len : 0));
    if (len > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), message.data(), len, nullptr, nullptr);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  }
  if (text != nullptr) LocalFree(text);
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
