// Runs under Wine, started by wine_platform_test.py: ZUNEL_TEST_EMULATOR_PORT
// is the printer emulator's loopback port and ZUNEL_TEST_STATUS_SERIAL_PORT a
// COM port mapped to its pseudo-terminal; the driver sets the emulated paper
// near its end. ZUNEL_TEST_QUEUE is a queue of Wine's spooler (backed by a
// private CUPS server), which reports 0 for every status field.
#include "printing/status/printer_status_json.h"
#include "printing/status/status_query.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace zunel {
namespace {

using std::chrono::milliseconds;

const char* env(const char* name) { return std::getenv(name); }

void expect_near_end(const PrinterStatus& got) {
  EXPECT_TRUE(got.reachable) << printer_status_json(got);
  EXPECT_TRUE(got.answered) << printer_status_json(got);
  EXPECT_EQ(got.online, true) << printer_status_json(got);
  EXPECT_EQ(got.paper, PaperState::NearEnd) << printer_status_json(got);
  EXPECT_EQ(got.cover_open, false) << printer_status_json(got);
  EXPECT_EQ(got.raw, (std::vector<std::uint8_t>{0x12, 0x12, 0x12, 0x1e}));
}

TEST(WineStatus, TheNetworkEmulatorAnswersDleEot) {
  if (env("ZUNEL_TEST_EMULATOR_PORT") == nullptr) GTEST_SKIP() << "needs the emulator of wine_platform_test.py";
  const auto port = static_cast<std::uint16_t>(std::atoi(env("ZUNEL_TEST_EMULATOR_PORT")));
  expect_near_end(query_tcp_status(system_tcp_network(), "127.0.0.1", port, StatusProtocol::EscPos,
                                   milliseconds(2000), system_monotonic_clock()));
}

TEST(WineStatus, TheSerialEmulatorAnswersDleEotThroughTheComPort) {
  if (env("ZUNEL_TEST_STATUS_SERIAL_PORT") == nullptr) GTEST_SKIP() << "needs the emulator of wine_platform_test.py";
  expect_near_end(query_serial_status(system_serial_ports(), env("ZUNEL_TEST_STATUS_SERIAL_PORT"), 115200,
                                      StatusProtocol::EscPos, milliseconds(2000), system_monotonic_clock()));
}

TEST(WineStatus, TheSpoolerQueueAnswersGetPrinterWithNothingSet) {
  if (env("ZUNEL_TEST_QUEUE") == nullptr) GTEST_SKIP() << "needs the private CUPS server of wine_platform_test.py";
  const PrinterStatus got = query_spooler_status(system_spooler(), env("ZUNEL_TEST_QUEUE"), system_monotonic_clock());
  EXPECT_TRUE(got.reachable);
  EXPECT_TRUE(got.answered);
  // Wine's 0 in every field maps to nothing known and an idle queue.
  EXPECT_EQ(got.online, std::nullopt);
  EXPECT_EQ(got.paper, PaperState::Unknown);
  ASSERT_TRUE(got.queue);
  EXPECT_EQ(got.queue->state, QueueState::Idle);
}

}  // namespace
}  // namespace zunel
