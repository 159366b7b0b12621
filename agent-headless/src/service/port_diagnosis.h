#pragma once
// Why the agent did not answer after install started it, told by trying to
// bind its port: free (the agent itself is at fault), taken by another
// program, or refused by something else (usually security software).

#include <cstdint>

#include "service/install_error.h"

namespace zunel {

enum class BindOutcome {
  Bound,         // nobody holds the port; the listener was released at once
  AddressInUse,  // EADDRINUSE / WSAEADDRINUSE (10048)
  Refused,       // any other failure
};

class PortBinder {
 public:
  virtual ~PortBinder() = default;
  // Tries to bind a TCP listener to 127.0.0.1:`port` and closes it again.
  virtual BindOutcome try_bind_loopback(std::uint16_t port) = 0;
};

// The binder that opens a listener as the agent does.
PortBinder& system_port_binder();

// NoAgentResponse, PortInUse or LocalConnectionBlocked.
FailureKind diagnose_port(PortBinder& binder, std::uint16_t port);

}  // namespace zunel
