#include "printing/spooler_printers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zunel {
namespace {

// Plays EnumPrintersW: the first call reports `size` (or nothing), the
// second fills the buffer or fails with `error`.
class FakeEnumeration final : public PrinterEnumerationCalls {
 public:
  std::uint32_t size = 0;
  bool first_reports_size = true;
  bool second_fails = false;
  std::uint32_t error = 0;
  std::vector<SpoolerPrinterEntry> entries;
  std::vector<std::string> log;

  bool enum_printers(std::uint8_t* buffer, std::uint32_t buffer_size, std::uint32_t& needed,
                     std::uint32_t& returned) override {
    log.push_back(buffer == nullptr ? "size:" + std::to_string(buffer_size) : "fill:" + std::to_string(buffer_size));
    if (buffer == nullptr) {
      last_error_ = 122;  // ERROR_INSUFFICIENT_BUFFER, as the real first call
      if (first_reports_size) needed = size;
      return false;
    }
    for (std::uint32_t i = 0; i < buffer_size; ++i) {
      if (buffer[i] != 0) log.push_back("buffer not zeroed");
    }
    if (second_fails) {
      last_error_ = error;
      return false;
    }
    returned = static_cast<std::uint32_t>(entries.size());
    return true;
  }
  std::vector<SpoolerPrinterEntry> read_entries(const std::uint8_t*, std::uint32_t count) override {
    log.push_back("read:" + std::to_string(count));
    return std::vector<SpoolerPrinterEntry>(entries.begin(), entries.begin() + count);
  }
  std::uint32_t last_error() override { return last_error_; }

 private:
  std::uint32_t last_error_ = 0;
};

PrinterInfo printer(std::optional<std::string> name, bool offline = false) {
  PrinterInfo info;
  info.product = std::move(name);
  info.offline = offline;
  return info;
}

TEST(EnumerateSpoolerPrinters, AsksForTheSizeThenFillsABufferOfExactlyThatSize) {
  FakeEnumeration calls;
  calls.size = 312;
  calls.entries = {{u"Zebra ZD420", 0}, {u"EPSON TM-T20III", 0x400 | 0x40}, {u"\\\\caja\\Tickets", 0x2}};
  auto list = enumerate_spooler_printers(calls);
  ASSERT_TRUE(list.ok()) << list.error();
  // The spooler's order, not sorted; only bit 0x400 means offline.
  EXPECT_EQ(*list, (std::vector<PrinterInfo>{printer("Zebra ZD420"), printer("EPSON TM-T20III", true),
                                             printer("\\\\caja\\Tickets")}));
  EXPECT_EQ(calls.log, (std::vector<std::string>{"size:0", "fill:312", "read:3"}));
}

TEST(EnumerateSpoolerPrinters, NoSizeIsAnEmptyListAndOnlyTheSecondCallFails) {
  FakeEnumeration none;
  auto empty = enumerate_spooler_printers(none);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(none.log, std::vector<std::string>{"size:0"});

  FakeEnumeration silent;
  silent.size = 500;
  silent.first_reports_size = false;
  auto also_empty = enumerate_spooler_printers(silent);
  ASSERT_TRUE(also_empty.ok());
  EXPECT_TRUE(also_empty->empty());
  EXPECT_EQ(silent.log, std::vector<std::string>{"size:0"});

  FakeEnumeration failing;
  failing.size = 100;
  failing.second_fails = true;
  failing.error = 122;  // a printer added between the calls
  failing.entries = {{u"A", 0}};
  auto error = enumerate_spooler_printers(failing);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error(), "EnumPrinters falló (Win32 err 122)");
  EXPECT_EQ(failing.log, (std::vector<std::string>{"size:0", "fill:100"}));
}

TEST(EnumerateSpoolerPrinters, RepairsNamesAndLeavesMissingOnesAbsent) {
  FakeEnumeration calls;
  calls.size = 64;
  calls.entries = {
      {std::u16string{u'A', char16_t(0xd800), u'B'}, 0},  // lone high surrogate
      {std::u16string{char16_t(0xdc00)}, 0},              // lone low surrogate
      {std::u16string{u'C', char16_t(0xd83d), char16_t(0xde00)}, 0},
      {u"Impresora Ñandú", 0},
      {std::nullopt, 0x400},
      {u"", 0},
  };
  auto list = enumerate_spooler_printers(calls);
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(*list, (std::vector<PrinterInfo>{printer("A\xef\xbf\xbd" "B"), printer("\xef\xbf\xbd"),
                                             printer("C\xf0\x9f\x98\x80"), printer("Impresora \xc3\x91" "and\xc3\xba"),
                                             printer(std::nullopt, true), printer(std::nullopt)}));
}

}  // namespace
}  // namespace zunel
