#include <gtest/gtest.h>

#include "printing/printer_key.h"

namespace zunel {
namespace {

TEST(PrinterKeyWindows, SerialPortsAndSpoolerNamesAreOneKeyInAnyCaseAndNamespace) {
  const auto serial = [](const char* port) { return printer_key(PrintTarget{PrintTarget::Serial{port, 9600}}); };
  for (const char* port : {"COM5", "com5", "\\\\.\\COM5", "\\\\.\\com5"}) {
    EXPECT_EQ(serial(port), "serial:\\\\.\\COM5") << port;
  }
  EXPECT_NE(serial("COM5"), serial("COM15"));
  const auto spooler = [](const char* name) { return printer_key(PrintTarget{PrintTarget::WinSpool{name}}); };
  EXPECT_EQ(spooler("Caja 1"), spooler("CAJA 1"));
}

}  // namespace
}  // namespace zunel
