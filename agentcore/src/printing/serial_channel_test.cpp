#include "printing/serial_channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "print_fakes.h"

namespace zunel {
namespace {

struct SerialCase {
  const char* name;
  void (*script)(FakeSerialPorts&);
  std::size_t size;
  const char* error;  // nullptr: success
  std::vector<std::string> log;
};

TEST(SendSerial, WritesEverythingFlushesAndClosesOnEveryPath) {
  const std::vector<SerialCase> cases = {
      {"whole job", [](FakeSerialPorts&) {}, 64, nullptr, {"open:COM3", "write:64", "flush", "close"}},
      {"empty job still opens, flushes and closes", [](FakeSerialPorts&) {}, 0, nullptr,
       {"open:COM3", "flush", "close"}},
      {"partial writes go on with the rest",
       [](FakeSerialPorts& p) { p.writes = {Outcome<std::size_t>(10), Outcome<std::size_t>(50)}; }, 64, nullptr,
       {"open:COM3", "write:64", "write:54", "write:4", "flush", "close"}},
      {"open fails: the library's text, nothing else",
       [](FakeSerialPorts& p) { p.open_error = "The system cannot find the file specified."; }, 8,
       "The system cannot find the file specified.", {"open:COM3"}},
      {"a write that takes nothing in its wait is tried again",
       [](FakeSerialPorts& p) { p.writes = {Outcome<std::size_t>(3), Outcome<std::size_t>(0)}; }, 8, nullptr,
       {"open:COM3", "write:8", "write:5", "write:5", "flush", "close"}},
      {"a job is offered half a second of the line a write",
       [](FakeSerialPorts&) {}, 2000, nullptr, {"open:COM3", "write:960", "write:960", "write:80", "flush", "close"}},
      {"a write that fails",
       [](FakeSerialPorts& p) { p.writes = {Outcome<std::size_t>(fail("I/O error (os error 5)"))}; }, 8,
       "I/O error (os error 5)", {"open:COM3", "write:8", "close"}},
      {"flush fails", [](FakeSerialPorts& p) { p.flush_error = "I/O error (os error 5)"; }, 8,
       "I/O error (os error 5)", {"open:COM3", "write:8", "flush", "close"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialPorts ports;
    c.script(ports);
    std::vector<std::uint8_t> bytes(c.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(255 - i);
    const Status status = send_serial(ports, "COM3", 19200, bytes);
    if (c.error == nullptr) {
      ASSERT_TRUE(status.ok()) << status.error();
      EXPECT_EQ(ports.received, bytes);
    } else {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error(), c.error);
    }
    EXPECT_EQ(ports.log, c.log);
  }
}

TEST(SendSerial, AsksForEightDataBitsNoParityOneStopBitNoFlowControl) {
  FakeSerialPorts ports;
  ASSERT_TRUE(send_serial(ports, "/dev/ttyUSB0", 115200, {}).ok());
  SerialSettings expected;
  expected.baud_rate = 115200;
  EXPECT_EQ(ports.last_settings, expected);
  EXPECT_EQ(ports.last_settings.data_bits, 8u);
  EXPECT_EQ(ports.log.front(), "open:/dev/ttyUSB0");
}

TEST(WindowsSerialDeviceName, PutsTheDeviceNamespaceBeforeNamesWithoutALeadingBackslash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"COM3", R"(\\.\COM3)"},
      {"COM12", R"(\\.\COM12)"},
      {"", R"(\\.\)"},
      {R"(\\.\COM12)", R"(\\.\COM12)"},
      {R"(\Device\Serial0)", R"(\Device\Serial0)"},
      {"com1 ", R"(\\.\com1 )"},
      {R"(.\COM1)", R"(\\.\.\COM1)"},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(windows_serial_device_name(name), expected) << name;
  }
}

}  // namespace
}  // namespace zunel
