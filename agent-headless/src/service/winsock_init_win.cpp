#include "service/winsock_init.h"

#include <winsock2.h>

namespace zunel {

bool ensure_winsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace zunel
