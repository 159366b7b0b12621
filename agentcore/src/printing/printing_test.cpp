#include "printing/printing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "print_fakes.h"

namespace zunel {
namespace {

const std::vector<std::uint8_t> BYTES{27, 64, 65, 10};

TEST(PrintToTarget, EachKindGoesToItsOwnChannelOnly) {
  {
    FakePrintPlatform fakes;
    ASSERT_TRUE(print_to_target({NetworkTarget{"10.0.0.9", 9100}}, BYTES, fakes.platform).ok());
    EXPECT_EQ(fakes.network.log.front(), "resolve:10.0.0.9:9100");
    EXPECT_EQ(fakes.network.received, BYTES);
    EXPECT_TRUE(fakes.serial_ports.log.empty());
    EXPECT_TRUE(fakes.spooler.log.empty());
  }
  {
    FakePrintPlatform fakes;
    ASSERT_TRUE(print_to_target({SerialTarget{"COM4", 38400}}, BYTES, fakes.platform).ok());
    EXPECT_EQ(fakes.serial_ports.log.front(), "open:COM4");
    EXPECT_EQ(fakes.serial_ports.last_settings.baud_rate, 38400u);
    EXPECT_EQ(fakes.serial_ports.received, BYTES);
    EXPECT_TRUE(fakes.network.log.empty());
    EXPECT_TRUE(fakes.spooler.log.empty());
  }
  {
    FakePrintPlatform fakes;
    ASSERT_TRUE(print_to_target({WinSpoolTarget{"Caja"}}, BYTES, fakes.platform).ok());
    EXPECT_EQ(fakes.spooler.log.front(), "open:Caja");
    EXPECT_EQ(fakes.spooler.received, BYTES);
    EXPECT_TRUE(fakes.network.log.empty());
    EXPECT_TRUE(fakes.serial_ports.log.empty());
  }
}

TEST(PrintToTarget, UsbIsRefusedWithoutTouchingAnything) {
  FakePrintPlatform fakes;
  const PrintStatus status = print_to_target({UsbTarget{0x04b8, 0x0202}}, BYTES, fakes.platform);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().failure, PrintFailure::UsbUnsupported);
  EXPECT_EQ(status.error().text,
            "USB directo (libusb) no está soportado en Windows; usa el destino de impresora del sistema (WinSpool).");
  EXPECT_TRUE(fakes.network.log.empty());
  EXPECT_TRUE(fakes.serial_ports.log.empty());
  EXPECT_TRUE(fakes.spooler.log.empty());
}

TEST(PrintToTarget, PassesTheChannelErrorOnUnchanged) {
  FakePrintPlatform fakes;
  fakes.spooler.short_write = 1;
  const PrintStatus status = print_to_target({WinSpoolTarget{"Caja"}}, BYTES, fakes.platform);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().text, "WritePrinter escribió 1/4 bytes");
}

// The class of a failure comes from the step that failed, never from its
// text: the texts below are the system's and could be in any language.
TEST(PrintToTarget, ClassesAFailureByTheStepThatFailed) {
  struct Row {
    const char* name;
    PrintTarget target;
    void (*arrange)(FakePrintPlatform&);
    PrintFailure expected;
  };
  const std::vector<Row> rows{
      {"no address", {NetworkTarget{"caja", 9100}},
       [](FakePrintPlatform& f) { f.network.addresses = fail("Name or service not known (os error -2)"); },
       PrintFailure::Unreachable},
      {"connect refused", {NetworkTarget{"caja", 9100}},
       [](FakePrintPlatform& f) { f.network.refusing = {{"A", "Conexión rehusada (os error 111)"}}; },
       PrintFailure::Unreachable},
      {"printer stopped reading", {NetworkTarget{"caja", 9100}},
       [](FakePrintPlatform& f) { f.network.sends.assign(60, std::size_t{0}); }, PrintFailure::Timeout},
      {"send broken", {NetworkTarget{"caja", 9100}},
       [](FakePrintPlatform& f) { f.network.sends = {Outcome<std::size_t>(fail("Tubería rota (os error 32)"))}; },
       PrintFailure::Closed},
      {"serial open", {SerialTarget{"COM9", 9600}},
       [](FakePrintPlatform& f) { f.serial_ports.open_error = "El sistema no encuentra el archivo"; },
       PrintFailure::SerialOpenFailed},
      {"serial took nothing", {SerialTarget{"COM9", 9600}},
       [](FakePrintPlatform& f) { f.serial_ports.writes.assign(60, std::size_t{0}); }, PrintFailure::Timeout},
      {"serial flush", {SerialTarget{"COM9", 9600}},
       [](FakePrintPlatform& f) { f.serial_ports.flush_error = "Error de E/S (os error 5)"; },
       PrintFailure::Closed},
      {"spooler", {WinSpoolTarget{"Caja"}}, [](FakePrintPlatform& f) { f.spooler.short_write = 1; },
       PrintFailure::Spooler},
  };
  for (const Row& row : rows) {
    FakePrintPlatform fakes;
    fakes.network.clock = &fakes.clock;
    fakes.serial_ports.clock = &fakes.clock;
    row.arrange(fakes);
    const PrintStatus status = print_to_target(row.target, BYTES, fakes.platform, fakes.clock);
    ASSERT_FALSE(status.ok()) << row.name;
    EXPECT_EQ(status.error().failure, row.expected) << row.name;
    EXPECT_FALSE(status.error().text.empty()) << row.name;
  }
}

TEST(ListPrinters, AsksTheDirectoryAfreshEachTime) {
  FakePrintPlatform fakes;
  PrinterInfo p;
  p.product = "Caja";
  fakes.printers.answer = std::vector<PrinterInfo>{p};
  auto first = list_printers(fakes.platform);
  fakes.printers.answer = fail("EnumPrinters falló (Win32 err 1722)");
  auto second = list_printers(fakes.platform);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, std::vector<PrinterInfo>{p});
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), "EnumPrinters falló (Win32 err 1722)");
  EXPECT_EQ(fakes.printers.calls, 2);
}

}  // namespace
}  // namespace zunel
