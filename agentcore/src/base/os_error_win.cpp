#include "base/os_error.h"

#include <windows.h>

#include "base/utf8.h"

namespace zunel {

std::string system_message(int code) {
  // The system's own text in the user's language, as UTF-8; GCC 12's
  // std::system_category() would give the C library's text instead.
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer != nullptr) {
    text = utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), n));
  }
  LocalFree(buffer);
  // System messages end with a line break that would split a detail line.
  return std::string(trim_unicode_space(text));
}

}  // namespace zunel
