#include "main/console_output.h"

#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace zunel {
namespace {

// The system's handle behind a C stream, or null when it has none.
HANDLE handle_of(std::FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0) return nullptr;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// The console behind a C stream, or null when the stream is a pipe, a file
// or nothing at all. GetConsoleMode succeeds only on a console handle.
HANDLE console_of(std::FILE* stream) {
  const HANDLE handle = handle_of(stream);
  DWORD mode = 0;
  if (handle == nullptr || !GetConsoleMode(handle, &mode)) return nullptr;
  return handle;
}

void route_to_console(std::ostream& stream, std::FILE* c_stream) {
  const HANDLE console = console_of(c_stream);
  if (console == nullptr) return;
  // Never freed: the standard streams are flushed at exit, after static
  // objects are gone.
  auto* buffer = new WideTextBuffer([console](std::u16string_view text) {
    while (!text.empty()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 8192));
      if (!WriteConsoleW(console, text.data(), chunk, &written, nullptr) || written == 0) {
        return false;
      }
      text.remove_prefix(written);
    }
    return true;
  });
  stream.flush();
  stream.rdbuf(buffer);
}

}  // namespace

void use_wide_console_output() {
  route_to_console(std::cout, stdout);
  route_to_console(std::cerr, stderr);
}

// A console and NUL are character devices, a pipe is a pipe.
bool standard_output_is_file() {
  const HANDLE handle = handle_of(stdout);
  return handle != nullptr && GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace zunel
