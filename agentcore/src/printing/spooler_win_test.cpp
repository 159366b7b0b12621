// Runs under Wine, started by wine_platform_test.py: Wine's spooler is backed
// by a private CUPS server whose raw queue ZUNEL_TEST_QUEUE sends every job
// to a loopback listener of the driver, which then checks the bytes.
#include "printing/spooler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "printing/printer_directory.h"
#include "printing/spooler_channel.h"
#include "wine_platform_job.h"

namespace zunel {
namespace {

using testing::wine_platform_job;

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
  const Status status = send_winspool(system_spooler(), queue_, wine_platform_job());
  EXPECT_TRUE(status.ok()) << status.error();
}

TEST_F(WineSpooler, NamesThatAreNoPrinterFailToOpen) {
  for (const std::string& name : {std::string("zunel-no-such-queue"), queue_ + std::string("\0x", 2)}) {
    const Status status = send_winspool(system_spooler(), name, wine_platform_job());
    ASSERT_FALSE(status.ok()) << name;
    EXPECT_EQ(status.error(), "OpenPrinter('" + name + "') falló (Win32 err 1801)");
  }
}

}  // namespace
}  // namespace zunel
