#pragma once
// Winsock must be started once per process before any socket call; the
// Windows socket code of this folder calls this first.

namespace zunel {

// Starts Winsock 2.2 on first use; true when it is available.
bool ensure_winsock();

}  // namespace zunel
