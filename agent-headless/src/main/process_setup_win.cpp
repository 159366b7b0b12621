#include "main/process_setup.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace zunel {

void setup_process(bool attach_console) {
  if (attach_console) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
      // Started from a terminal: the GUI-subsystem executable has no streams
      // until it attaches to the terminal's console and reopens them there.
      if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
      }
    }
  }
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

unsigned long current_process_id() { return GetCurrentProcessId(); }

}  // namespace zunel
