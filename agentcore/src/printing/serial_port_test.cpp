#include "printing/serial_port.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(SerialPortNames, OnlySerialPortsAreTakenAsSerialTargets) {
  const struct {
    const char* name;
    bool on_windows, on_linux;
  } rows[] = {
      {"COM1", true, false},
      {"com12", true, false},
      {"\\\\.\\COM5", true, false},
      {"\\\\?\\COM5", true, false},
      {"COM0", false, false},
      {"COM05", false, false},
      {"COM", false, false},
      {"COM5x", false, false},
      {"LPT1", false, false},
      {"\\\\.\\PhysicalDrive0", false, false},
      {"C:\\temp\\file", false, false},
      {"/dev/ttyS0", false, true},
      {"/dev/ttyS12", false, true},
      {"/dev/ttyUSB0", false, true},
      {"/dev/ttyACM3", false, true},
      {"/dev/ttyAMA0", false, true},
      {"/dev/rfcomm1", false, true},
      {"/dev/serial/by-id/usb-Printer_1234-if00-port0", false, true},
      {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", false, true},
      {"/dev/serial/by-id/../../tty", false, false},
      {"/dev/serial/by-id/", false, false},
      {"/dev/ttyS", false, false},
      {"/dev/ttyS0/x", false, false},
      {"/dev/ttyUSB01", false, false},
      {"/dev/tty", false, false},
      {"/dev/tty1", false, false},
      {"/dev/pts/3", false, false},
      {"/dev/console", false, false},
      {"/tmp/printer", false, false},
      {"", false, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(windows_serial_port_name(row.name), row.on_windows) << row.name;
    EXPECT_EQ(linux_serial_port_name(row.name), row.on_linux) << row.name;
  }
}

}  // namespace
}  // namespace zunel
