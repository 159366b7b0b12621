#include "service/port_diagnosis.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

class FixedBinder final : public PortBinder {
 public:
  explicit FixedBinder(BindOutcome outcome) : outcome_(outcome) {}
  BindOutcome try_bind_loopback(std::uint16_t port) override {
    port_ = port;
    return outcome_;
  }
  std::uint16_t port_ = 0;

 private:
  BindOutcome outcome_;
};

TEST(DiagnosePort, BindOutcomeChoosesTheKind) {
  const std::pair<BindOutcome, FailureKind> cases[] = {
      {BindOutcome::Bound, FailureKind::NoAgentResponse},
      {BindOutcome::AddressInUse, FailureKind::PortInUse},
      {BindOutcome::Refused, FailureKind::LocalConnectionBlocked},
  };
  for (const auto& [outcome, kind] : cases) {
    FixedBinder binder(outcome);
    EXPECT_EQ(diagnose_port(binder, 47631), kind);
    EXPECT_EQ(binder.port_, 47631);
  }
}

TEST(SystemPortBinder, SeesAListenerAndReleasesItsOwnBind) {
  asio::io_context io;
  tcp::acceptor holder(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto port = holder.local_endpoint().port();
  EXPECT_EQ(system_port_binder().try_bind_loopback(port), BindOutcome::AddressInUse);
  holder.close();
  EXPECT_EQ(system_port_binder().try_bind_loopback(port), BindOutcome::Bound);
  // The probe's own listener is gone again: a second bind succeeds too.
  EXPECT_EQ(system_port_binder().try_bind_loopback(port), BindOutcome::Bound);
}

}  // namespace
}  // namespace zunel
