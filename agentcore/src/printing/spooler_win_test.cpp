// Runs under Wine, started by wine_platform_test.py: Wine's spooler is backed
// by a private CUPS server whose raw queue ZUNEL_TEST_QUEUE sends every job
// to a loopback listener of the driver, which then checks the bytes.
#include "printing/spooler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "printing/printer_directory.h"
#include "printing/spooler_channel.h"

namespace zunel {
namespace {

// The job the driver expects at the queue's device: every byte value, 64 times.
std::vector<std::uint8_t> expected_job() {
  std::vector<std::uint8_t> bytes(256 * 64);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 256 ^ i / 256);
  return bytes;
}

class WineSpooler : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* queue = std::getenv("ZUNEL_TEST_QUEUE");
    if (queue == nullptr) GTEST_SKIP() << "needs the private CUPS server of wine_platform_test.py";
    queue_ = queue;
  }
  std::string queue_;
};

TEST_F(WineSpooler, ListsTheQueueFromTheServer) {
  auto list = system_printer_directory().list();
  ASSERT_TRUE(list.ok()) << list.error();
  bool found = false;
  for (const PrinterInfo& p : *list) found = found || p.product == queue_;
  EXPECT_TRUE(found) << "no " << queue_ << " among " << list->size() << " printers";
}

TEST_F(WineSpooler, RawJobIsHandedToTheSpooler) {
  const Status status = send_winspool(system_spooler(), queue_, expected_job());
  EXPECT_TRUE(status.ok()) << status.error();
}

TEST_F(WineSpooler, NamesThatAreNoPrinterFailToOpen) {
  for (const std::string& name : {std::string("zunel-no-such-queue"), queue_ + std::string("\0x", 2)}) {
    const Status status = send_winspool(system_spooler(), name, expected_job());
    ASSERT_FALSE(status.ok()) << name;
    EXPECT_EQ(status.error(), "OpenPrinter('" + name + "') falló (Win32 err 1801)");
  }
}

}  // namespace
}  // namespace zunel
