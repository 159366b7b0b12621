// Runs under Wine, started by wine_platform_test.py: ZUNEL_TEST_SERIAL_PORT
// names a COM port that Wine maps to one end of a socat pseudo-terminal pair;
// the driver reads the other end and checks the bytes.
#include "printing/serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "printing/serial_channel.h"
#include "wine_platform_job.h"

namespace zunel {
namespace {

using testing::wine_platform_job;

class WineSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("ZUNEL_TEST_SERIAL_PORT");
    if (port == nullptr) GTEST_SKIP() << "needs the pseudo-terminal pair of wine_platform_test.py";
    port_ = port;
  }
  std::string port_;
};

TEST_F(WineSerial, JobGoesOutThroughTheDeviceNamespaceName) {
  const Status status = send_serial(system_serial_ports(), port_, 115200, wine_platform_job());
  EXPECT_TRUE(status.ok()) << status.error();
}

TEST_F(WineSerial, MissingPortIsNamedWithTheSystemTextWithoutTheCode) {
  const Status status = send_serial(system_serial_ports(), "COM199", 9600, wine_platform_job());
  ASSERT_FALSE(status.ok());
  const std::string prefix = "puerto serie 'COM199' no encontrado: ";
  EXPECT_EQ(status.error().rfind(prefix, 0), 0u) << status.error();
  EXPECT_GT(status.error().size(), prefix.size()) << status.error();
  EXPECT_EQ(status.error().find("(os error"), std::string::npos) << status.error();
}

}  // namespace
}  // namespace zunel
