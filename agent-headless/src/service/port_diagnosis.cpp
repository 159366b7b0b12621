#include "service/port_diagnosis.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>

#include "base/loopback_listener.h"

namespace zunel {
namespace {

class SystemPortBinder final : public PortBinder {
 public:
  BindOutcome try_bind_loopback(std::uint16_t port) override {
    try {
      // The agent's own listener, options included: the port counts as taken
      // exactly when the agent could not open it.
      boost::asio::io_context io;
      boost::system::error_code ec;
      auto listener = open_loopback_listener(io, port, ec);
      if (!ec) return BindOutcome::Bound;
      return ec == boost::asio::error::address_in_use ? BindOutcome::AddressInUse : BindOutcome::Refused;
    } catch (const std::exception&) {
      return BindOutcome::Refused;
    }
  }
};

}  // namespace

FailureKind diagnose_port(PortBinder& binder, std::uint16_t port) {
  switch (binder.try_bind_loopback(port)) {
    case BindOutcome::Bound: return FailureKind::NoAgentResponse;
    case BindOutcome::AddressInUse: return FailureKind::PortInUse;
    case BindOutcome::Refused: break;
  }
  return FailureKind::LocalConnectionBlocked;
}

PortBinder& system_port_binder() {
  static SystemPortBinder binder;
  return binder;
}

}  // namespace zunel
