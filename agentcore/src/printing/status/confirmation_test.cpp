#include "printing/status/confirmation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_clock.h"
#include "print_fakes.h"
#include "printing/status/printer_status_json.h"
#include "scripted_random.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

const PrintTarget NETWORK{PrintTarget::Network{"caja", 9100}};
const PrintTarget SERIAL{PrintTarget::Serial{"COM3", 9600}};
const PrintTarget SPOOLER{PrintTarget::WinSpool{"Caja"}};
const std::vector<std::uint8_t> JOB{0x1b, 0x40, 'h', 'o', 'l', 'a', 0x0a};

// Random bytes 3, 14, 25, 99 give the id "3459".
const std::string ID = "3459";
const std::string REQUEST = std::string("\x1d\x28\x48\x06\x00\x30\x30", 7) + ID + "\x1d\x72\x01";
const std::string PRINTED = "\x37\x22" + ID + std::string(1, '\0');

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class ConfirmationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes_.network.clock = &clock_;
    fakes_.serial_ports.clock = &clock_;
    random_.queue({3, 14, 25, 99});
  }

  Outcome<Confirmation, PrintError> confirm(const PrintTarget& target, std::optional<StatusProtocol> protocol,
                                int timeout_ms = 3000) {
    return print_and_confirm(target, JOB, ConfirmRequest{protocol, milliseconds(timeout_ms)}, fakes_.platform,
                             random_, clock_);
  }

  FakeMonotonicClock clock_;
  FakePrintPlatform fakes_;
  ScriptedRandom random_;
};

TEST_F(ConfirmationTest, EscPosPrintedWhenThePrinterSendsTheJobsIdBack) {
  // A reply to a DLE EOT inside the job, still waiting: dropped first.
  fakes_.network.stale = "\x12";
  // The fence's answer, an earlier job's id and an automatic status frame
  // come before this job's id.
  fakes_.network.replies = {{REQUEST, std::string(1, '\0') + "\x37\x22" "1111" + std::string(1, '\0') +
                                          std::string("\x10\x00\x00\x00", 4) + PRINTED}};
  auto got = confirm(NETWORK, StatusProtocol::EscPos);
  ASSERT_TRUE(got.ok()) << got.error().text;
  EXPECT_EQ(*got, (Confirmation{Confirmed::Printed, std::nullopt}));
  EXPECT_EQ(confirmation_json(*got), R"({"ok":true,"confirmed":"printed"})");
  // One connection: the job, then the request and nothing else.
  EXPECT_EQ(fakes_.network.sent, std::vector<std::string>{"A:" + text(JOB) + REQUEST});
  EXPECT_EQ(fakes_.network.log,
            (std::vector<std::string>{"resolve:caja:9100", "connect:A", "send:7", "receive:0:1",
                                      "receive:0:none", "send:14", "receive:3000:19", "close"}));
}

TEST_F(ConfirmationTest, ASilentPrinterIsNotConfirmedAndItsStatusSaysItDidNotAnswer) {
  auto got = confirm(SERIAL, StatusProtocol::EscPos, 1000);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->confirmed, Confirmed::NotConfirmed);
  ASSERT_TRUE(got->status.has_value());
  EXPECT_TRUE(got->status->reachable);
  EXPECT_FALSE(got->status->answered);
  EXPECT_EQ(got->status->online, std::nullopt);
  // The job, the request, then one status query on the same port.
  EXPECT_EQ(text(fakes_.serial_ports.received), text(JOB) + REQUEST + "\x10\x04\x01");
  EXPECT_EQ(fakes_.serial_ports.log,
            (std::vector<std::string>{"open:COM3", "write:7", "flush", "purge", "write:14", "read:1000:none",
                                      "purge", "write:3", "read:1500:none", "close"}));
  EXPECT_EQ(confirmation_json(*got).rfind(R"({"ok":true,"confirmed":"not_confirmed","status":{"source":"device",)",
                                          0),
            0u);
}

TEST_F(ConfirmationTest, WithoutARandomIdOnlyTheStatusIsAskedWithItsProtocolsDefaultTimeOut) {
  const struct {
    StatusProtocol protocol;
    std::string query;  // the status query's first question, and no confirmation request
    const char* first_read;
  } rows[] = {
      {StatusProtocol::EscPos, "\x10\x04\x01", "read:1500:none"},
      {StatusProtocol::Zpl, "~HQES", "read:2000:none"},
  };
  for (const auto& row : rows) {
    FakePrintPlatform fakes;
    fakes.serial_ports.clock = &clock_;
    random_.fail_next();
    auto got = print_and_confirm(SERIAL, JOB, ConfirmRequest{row.protocol, milliseconds(3000)}, fakes.platform,
                                 random_, clock_);
    ASSERT_TRUE(got.ok()) << row.query;
    EXPECT_EQ(got->confirmed, Confirmed::NotConfirmed) << row.query;
    EXPECT_EQ(text(fakes.serial_ports.received), text(JOB) + row.query);
    EXPECT_EQ(fakes.serial_ports.log,
              (std::vector<std::string>{"open:COM3", "write:7", "flush", "purge",
                                        "write:" + std::to_string(row.query.size()), row.first_read, "close"}));
  }
}

TEST_F(ConfirmationTest, StarIsNeverConfirmedButItsStatusIsRead) {
  fakes_.network.replies = {{"\x1b\x06\x01", std::string("\x23\x06\x00\x00\x00\x00\x00\x00\x00", 9)}};
  auto got = confirm(NETWORK, StatusProtocol::Star);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->confirmed, Confirmed::NotConfirmed);
  ASSERT_TRUE(got->status.has_value());
  EXPECT_EQ(got->status->online, true);
  EXPECT_EQ(text(fakes_.network.received), text(JOB) + "\x1b\x06\x01");
}

TEST_F(ConfirmationTest, ADeliveryThatFailsIsTheJobsErrorAndNothingIsAsked) {
  fakes_.network.refusing = {{"A", "Connection refused (os error 111)"}};
  auto got = confirm(NETWORK, StatusProtocol::EscPos);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().text, "Connection refused (os error 111)");
  EXPECT_EQ(got.error().failure, PrintFailure::Unreachable);
  fakes_.spooler.failing = {{RecordingSpooler::Step::Write, 5}};
  auto spooled = confirm(SPOOLER, std::nullopt);
  ASSERT_FALSE(spooled.ok());
  EXPECT_EQ(spooled.error().text, "WritePrinter falló (Win32 err 5)");
  EXPECT_EQ(spooled.error().failure, PrintFailure::Spooler);
  EXPECT_EQ(std::count(fakes_.spooler.log.begin(), fakes_.spooler.log.end(), "get_job:7"), 0);
}

TEST_F(ConfirmationTest, ASpooledJobIsFollowedByItsIdAndNeverGetsTheConfirmationBytes) {
  struct Row {
    std::vector<SpoolerJobReport> reports;
    Confirmed expected;
    bool status;
  };
  const std::vector<Row> rows = {
      // Recorded Windows values: spooling, printing, then gone from the queue.
      {{WinspoolJobReport{true, 0x8}, WinspoolJobReport{true, 0x10}, WinspoolJobReport{false, 0}},
       Confirmed::Transmitted, false},
      {{WinspoolJobReport{true, 0x10 | 0x80}}, Confirmed::Transmitted, false},
      // Held by an offline printer to the end of the time-out.
      {{WinspoolJobReport{true, 0x20 | 0x2}}, Confirmed::Spooled, false},
      {{WinspoolJobReport{true, 0x4 | 0x2}}, Confirmed::NotConfirmed, true},
      {{CupsJobReport{3}, CupsJobReport{5}, CupsJobReport{9}}, Confirmed::Transmitted, false},
      {{CupsJobReport{4}}, Confirmed::Spooled, false},
      {{CupsJobReport{8}}, Confirmed::NotConfirmed, true},
      // The spooler cannot say.
      {{}, Confirmed::NotConfirmed, true},
  };
  for (const Row& row : rows) {
    RecordingSpooler spooler;
    spooler.job_id = 42;
    spooler.job_reports.assign(row.reports.begin(), row.reports.end());
    int waits = 0;
    const Confirmation got = confirm_spooled_job(spooler, "Caja", 42, milliseconds(1000), clock_,
                                                 [&](milliseconds pause) {
                                                   ++waits;
                                                   clock_.advance(pause);
                                                 });
    EXPECT_EQ(got.confirmed, row.expected) << row.reports.size();
    EXPECT_EQ(got.status.has_value(), row.status) << row.reports.size();
    if (row.expected == Confirmed::Spooled) {
      EXPECT_EQ(waits, 10) << "every 100 ms for 1 s";
    }
  }
  fakes_.spooler.job_reports = {CupsJobReport{9}};
  auto got = confirm(SPOOLER, std::nullopt);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->confirmed, Confirmed::Transmitted);
  EXPECT_EQ(fakes_.spooler.received, JOB);
  EXPECT_EQ(fakes_.spooler.log,
            (std::vector<std::string>{"open:Caja", "start_doc:Zunel:RAW", "start_page", "write:7", "end_page",
                                      "end_doc", "close", "open:Caja", "get_job:7", "close"}));
}

TEST_F(ConfirmationTest, AFenceReportingTheRollsEndIsNotProcessedButSaysThePaperIsOut) {
  struct Row {
    std::string fence;
    Confirmed expected;
    PaperState paper;  // in the status, when not confirmed
  };
  const std::vector<Row> rows{
      {std::string(1, '\0'), Confirmed::Processed, PaperState::Unknown},
      {"\x03", Confirmed::Processed, PaperState::Unknown},  // near end only
      {"\x0c", Confirmed::NotConfirmed, PaperState::Out},
  };
  for (const Row& row : rows) {
    FakeMonotonicClock clock;
    FakePrintPlatform fakes;
    fakes.network.clock = &clock;
    ScriptedRandom random;
    random.queue({3, 14, 25, 99});
    fakes.network.replies = {{REQUEST, row.fence}};
    auto got = print_and_confirm(NETWORK, JOB, ConfirmRequest{StatusProtocol::EscPos, milliseconds(1000)},
                                 fakes.platform, random, clock);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->confirmed, row.expected) << ::testing::PrintToString(row.fence);
    if (row.expected == Confirmed::NotConfirmed) {
      ASSERT_TRUE(got->status.has_value());
      EXPECT_EQ(got->status->paper, row.paper);
    }
  }
}

}  // namespace
}  // namespace zunel
