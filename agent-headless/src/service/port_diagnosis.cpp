#include "service/port_diagnosis.h"

namespace zunel {

FailureKind diagnose_port(PortBinder& binder, std::uint16_t port) {
  switch (binder.try_bind_loopback(port)) {
    case BindOutcome::Bound: return FailureKind::NoAgentResponse;
    case BindOutcome::AddressInUse: return FailureKind::PortInUse;
    case BindOutcome::Refused: break;
  }
  return FailureKind::LocalConnectionBlocked;
}

}  // namespace zunel
