#include "printing/status/status_query.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "print_fakes.h"
#include "printing/printing.h"
#include "printing/status/device_query.h"
#include "printing/status/printer_status_json.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;
using Log = std::vector<std::string>;

const std::string DLE_EOT[] = {"", "\x10\x04\x01", "\x10\x04\x02", "\x10\x04\x03", "\x10\x04\x04"};

class StatusQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes_.network.clock = &clock_;
    fakes_.serial_ports.clock = &clock_;
  }

  FakeMonotonicClock clock_;
  FakePrintPlatform fakes_;
};

TEST_F(StatusQueryTest, EscPosDrainsStaleInputThenAsksOneQueryAtATime) {
  // Replies to an earlier query, waiting in the socket: not this answer.
  fakes_.network.stale = "\x12\x12";
  fakes_.network.replies = {{DLE_EOT[1], "\x1a"}, {DLE_EOT[2], "\x32"}, {DLE_EOT[3], "\x12"}, {DLE_EOT[4], "\x7e"}};
  const PrinterStatus got =
      query_tcp_status(fakes_.network, "caja", 9100, StatusProtocol::EscPos, milliseconds(1500), clock_);
  EXPECT_EQ(fakes_.network.log,
            (Log{"resolve:caja:9100", "connect:A", "receive:0:2", "receive:0:none", "send:3",
                 "receive:1500:1", "send:3", "receive:1500:1", "send:3", "receive:1500:1", "send:3",
                 "receive:1500:1", "receive:0:none", "close"}));
  EXPECT_EQ(printer_status_json(got),
            R"({"source":"device","reachable":true,"answered":true,"busy":false,"online":false,"paper":"out",)"
            R"("cover_open":false,"error":null,"drawer_pin3_high":false,"queue":null,"raw":"1a32127e",)"
            R"("elapsed_ms":0})");
}

TEST_F(StatusQueryTest, ASilentPrinterIsAskedOnceAndAnswersNothingWithinTheTimeOut) {
  const PrinterStatus got =
      query_tcp_status(fakes_.network, "caja", 9100, StatusProtocol::EscPos, milliseconds(700), clock_);
  EXPECT_EQ(fakes_.network.log, (Log{"resolve:caja:9100", "connect:A", "receive:0:none", "send:3",
                                     "receive:700:none", "close"}));
  EXPECT_TRUE(got.reachable);
  EXPECT_FALSE(got.answered);
  EXPECT_EQ(got.online, std::nullopt);
  EXPECT_EQ(got.paper, PaperState::Unknown);
  EXPECT_EQ(got.elapsed_ms, 700u);
}

TEST_F(StatusQueryTest, AReplyThatStopsHalfWayIsNoAnswer) {
  // A clone that answers 1 and 2 and ignores 3.
  fakes_.network.replies = {{DLE_EOT[1], "\x12"}, {DLE_EOT[2], "\x16"}};
  const PrinterStatus got =
      query_tcp_status(fakes_.network, "caja", 9100, StatusProtocol::EscPos, milliseconds(1500), clock_);
  EXPECT_FALSE(got.answered);
  EXPECT_EQ(got.online, std::nullopt);
  EXPECT_EQ(got.cover_open, std::nullopt);
  EXPECT_EQ(got.paper, PaperState::Unknown);
  EXPECT_TRUE(got.raw.empty());
  EXPECT_EQ(got.elapsed_ms, 1500u);
  // Nothing sent after the unanswered query.
  EXPECT_EQ(fakes_.network.received, (std::vector<std::uint8_t>{0x10, 4, 1, 0x10, 4, 2, 0x10, 4, 3}));
}

TEST_F(StatusQueryTest, NoiseABannerOrAFloodIsNoAnswerAndEndsTheExchangeAtOnce) {
  const std::string zpl_hqes = "\x02\r\nPRINTER STATUS\r\nERRORS: 0 00000000 00000000\r\n\x03";
  const struct {
    const char* what;
    StatusProtocol protocol;
    std::map<std::string, std::string> replies;
    std::size_t sent;  // bytes of queries sent before the exchange ended
  } rows[] = {
      // Random bytes that happen to hold a valid-looking reply.
      {"noise", StatusProtocol::EscPos, {{DLE_EOT[1], std::string("\xa7\x12", 2)}}, 3},
      {"a banner", StatusProtocol::EscPos, {{DLE_EOT[1], "SSH-2.0-OpenSSH_9.2\r\n"}}, 3},
      {"an all-zero flood", StatusProtocol::EscPos, {{DLE_EOT[1], std::string(64, '\0')}}, 3},
      // Valid-looking bytes, more than one per query.
      {"a flood of replies", StatusProtocol::EscPos, {{DLE_EOT[1], std::string(8, '\x12')}}, 3},
      {"a flood after the last reply", StatusProtocol::EscPos,
       {{DLE_EOT[1], "\x12"}, {DLE_EOT[2], "\x12"}, {DLE_EOT[3], "\x12"}, {DLE_EOT[4], "\x12\x12"}}, 12},
      {"a Star banner", StatusProtocol::Star, {{"\x1b\x06\x01", "220 ready\r\n"}}, 3},
      {"ZPL noise", StatusProtocol::Zpl, {{"~HQES", "\x02garbage\x03"}}, 5},
      {"ZPL without its host status", StatusProtocol::Zpl, {{"~HQES", zpl_hqes}, {"~HS", "\x02a\x03\x02b\x03\x02c\x03"}}, 8},
  };
  for (const auto& row : rows) {
    FakePrintPlatform fakes;
    fakes.network.clock = &clock_;
    fakes.network.replies = row.replies;
    const PrinterStatus got = query_tcp_status(fakes.network, "caja", 9100, row.protocol, milliseconds(1500), clock_);
    EXPECT_TRUE(got.reachable) << row.what;
    EXPECT_FALSE(got.answered) << row.what;
    EXPECT_EQ(printer_status_json(got),
              R"({"source":"device","reachable":true,"answered":false,"busy":false,"online":null,)"
              R"("paper":"unknown","cover_open":null,"error":null,"drawer_pin3_high":null,"queue":null,)"
              R"("raw":"","elapsed_ms":0})")
        << row.what;
    EXPECT_EQ(fakes.network.received.size(), row.sent) << row.what;
  }
}

TEST_F(StatusQueryTest, ARefusedConnectIsUnreachableAndOffline) {
  fakes_.network.refusing = {{"A", "Connection refused (os error 111)"}};
  const PrinterStatus got =
      query_tcp_status(fakes_.network, "caja", 9100, StatusProtocol::EscPos, milliseconds(1500), clock_, milliseconds(5000));
  EXPECT_EQ(fakes_.network.last_connect_timeout, milliseconds(5000));
  EXPECT_FALSE(got.reachable);
  EXPECT_FALSE(got.answered);
  EXPECT_EQ(got.online, false);
}

TEST_F(StatusQueryTest, StarOverSerialPurgesThenReadsTheWholeBlock) {
  fakes_.serial_ports.stale = "\x12";
  fakes_.serial_ports.replies = {{"\x1b\x06\x01", std::string("\x23\x06\x28\x00\x00\x08\x00\x00\x00", 9)}};
  const PrinterStatus got =
      query_serial_status(fakes_.serial_ports, "COM5", 9600, StatusProtocol::Star, milliseconds(1500), clock_);
  EXPECT_EQ(fakes_.serial_ports.log, (Log{"open:COM5", "purge", "write:3", "read:1500:9", "close"}));
  EXPECT_EQ(got.raw, (std::vector<std::uint8_t>{0x23, 0x06, 0x28, 0, 0, 0x08, 0, 0, 0}));
  EXPECT_EQ(got.online, false);
  EXPECT_EQ(got.cover_open, true);
  EXPECT_EQ(got.paper, PaperState::Out);
}

TEST_F(StatusQueryTest, ZplSkipsHostStatusWhenErrorsSayThePrinterWillNotAnswerIt) {
  const std::string hqes = "\x02\r\nPRINTER STATUS\r\nERRORS: 1 00000000 00000001\r\nWARNINGS: 0 00000000 00000000\r\n\x03\r\n";
  fakes_.network.replies = {{"~HQES", hqes}};
  const PrinterStatus got =
      query_tcp_status(fakes_.network, "etiquetas", 9100, StatusProtocol::Zpl, milliseconds(2000), clock_);
  EXPECT_EQ(std::string(fakes_.network.received.begin(), fakes_.network.received.end()), "~HQES");
  EXPECT_TRUE(got.answered);
  EXPECT_EQ(got.paper, PaperState::Out);
  EXPECT_EQ(got.online, false);
  EXPECT_EQ(got.elapsed_ms, 0u);  // no wait for an answer that does not come
  EXPECT_EQ(std::string(got.raw.begin(), got.raw.end()), hqes.substr(0, hqes.size() - 2)) << "the frame alone";
}

TEST_F(StatusQueryTest, TheWindowsSpoolerReportIsMappedThroughTheSeam) {
  // Recorded: a USB printer unplugged (usbmon sets "use printer offline")
  // with one job waiting.
  fakes_.spooler.report = WinspoolPrinterReport{0x1000, 0x400, 1};
  auto got = query_printer_status({{WinSpoolTarget{"TM-T20"}}, std::nullopt, milliseconds(1500)}, fakes_.platform, clock_);
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_EQ(fakes_.spooler.log, (Log{"open:TM-T20", "get_printer", "close"}));
  EXPECT_EQ(printer_status_json(*got),
            R"({"source":"spooler","reachable":true,"answered":true,"busy":false,"online":false,)"
            R"("paper":"unknown","cover_open":null,"error":null,"drawer_pin3_high":null,)"
            R"("queue":{"state":"processing","reasons":["not-available","work-offline"],"jobs":1},)"
            R"("raw":"","elapsed_ms":0})");
}

TEST_F(StatusQueryTest, ASpoolerPrinterThatDoesNotOpenOrReportIsToldApart) {
  fakes_.spooler.failing = {{RecordingSpooler::Step::Open, 1801}};
  auto missing = query_printer_status({{WinSpoolTarget{"nope"}}, std::nullopt, milliseconds(1500)}, fakes_.platform, clock_);
  ASSERT_TRUE(missing.ok());
  EXPECT_EQ(missing->source, StatusSource::Spooler);
  EXPECT_FALSE(missing->reachable);
  EXPECT_EQ(missing->online, false);
  EXPECT_EQ(missing->queue, std::nullopt);

  fakes_.spooler.failing = {{RecordingSpooler::Step::GetPrinter, 5}};
  auto silent = query_printer_status({{WinSpoolTarget{"caja"}}, std::nullopt, milliseconds(1500)}, fakes_.platform, clock_);
  ASSERT_TRUE(silent.ok());
  EXPECT_TRUE(silent->reachable);
  EXPECT_FALSE(silent->answered);
  EXPECT_EQ(silent->online, std::nullopt);
  EXPECT_EQ(fakes_.spooler.log, (Log{"open:nope", "open:caja", "get_printer", "close"}));
}

TEST_F(StatusQueryTest, UsbIsRefusedAsAPrintIsAndDeviceTargetsNeedAProtocol) {
  auto usb = query_printer_status({{UsbTarget{0x04b8, 0x0e15}}, StatusProtocol::EscPos, milliseconds(1500)},
                                  fakes_.platform, clock_);
  ASSERT_FALSE(usb.ok());
  EXPECT_EQ(usb.error(), USB_UNSUPPORTED);
  auto unnamed = query_printer_status({{NetworkTarget{"caja", 9100}}, std::nullopt, milliseconds(1500)},
                                      fakes_.platform, clock_);
  ASSERT_FALSE(unnamed.ok());
  EXPECT_TRUE(fakes_.network.log.empty());
}

}  // namespace
}  // namespace zunel
