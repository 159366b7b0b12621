// Runs under Wine, started by wine_platform_test.py: ZUNEL_TEST_SERIAL_PORT
// names a COM port that Wine maps to one end of a socat pseudo-terminal pair;
// the driver reads the other end and checks the bytes.
#include "printing/serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "printing/serial_channel.h"

namespace zunel {
namespace {

// The job the driver expects: every byte value, 64 times.
std::vector<std::uint8_t> expected_job() {
  std::vector<std::uint8_t> bytes(256 * 64);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 256 ^ i / 256);
  return bytes;
}

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
  const Status status = send_serial(system_serial_ports(), port_, 115200, expected_job());
  EXPECT_TRUE(status.ok()) << status.error();
}

TEST_F(WineSerial, MissingPortGivesTheSystemTextWithoutTheCode) {
  const Status status = send_serial(system_serial_ports(), "COM199", 9600, expected_job());
  ASSERT_FALSE(status.ok());
  EXPECT_FALSE(status.error().empty());
  EXPECT_EQ(status.error().find("(os error"), std::string::npos) << status.error();
}

}  // namespace
}  // namespace zunel
