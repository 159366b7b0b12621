// Status queries through the real TCP sockets and serial ports of this OS
// against the printer emulator, and the CUPS spooler's report and a
// confirmed job's state against a private CUPS server.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cups_test_server.h"
#include "printer_emulator_process.h"
#include "printing/cups_server.h"
#include "printing/status/confirmation.h"
#include "printing/status/printer_status_json.h"
#include "printing/status/status_query.h"
#include "scripted_random.h"
#include "test_listeners.h"
#include "printing/print_platform.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

// One printer state, the query's language, and what the answer must say.
struct Row {
  const char* state;  // members of the emulator's "set" command
  StatusProtocol protocol;
  std::optional<bool> online;
  PaperState paper;
  std::optional<bool> cover_open;
  std::optional<PrinterFault> error;
};

const char* const RESET =
    R"("cmd":"set","online":true,"cover_open":false,"paper":"ok","cutter_error":false,"silent":false,"zpl":false)";

std::vector<Row> rows() {
  using P = StatusProtocol;
  return {
      {R"("paper":"ok")", P::EscPos, true, PaperState::Ok, false, std::nullopt},
      {R"("paper":"near_end")", P::EscPos, true, PaperState::NearEnd, false, std::nullopt},
      {R"("paper":"out")", P::EscPos, false, PaperState::Out, false, std::nullopt},
      {R"("cover_open":true)", P::EscPos, false, PaperState::Ok, true, std::nullopt},
      {R"("cutter_error":true)", P::EscPos, false, PaperState::Ok, false, PrinterFault::Cutter},
      {R"("online":false)", P::EscPos, false, PaperState::Ok, false, std::nullopt},
      {R"("paper":"ok")", P::Star, true, PaperState::Ok, false, std::nullopt},
      {R"("paper":"out")", P::Star, false, PaperState::Out, false, std::nullopt},
      {R"("cover_open":true)", P::Star, false, PaperState::Ok, true, std::nullopt},
      {R"("cutter_error":true)", P::Star, false, PaperState::Ok, false, PrinterFault::Cutter},
      {R"("zpl":true)", P::Zpl, true, PaperState::Ok, false, std::nullopt},
      {R"("zpl":true,"paper":"out")", P::Zpl, false, PaperState::Out, false, std::nullopt},
      {R"("zpl":true,"cover_open":true)", P::Zpl, false, PaperState::Ok, true, PrinterFault::HeadOpen},
      {R"("zpl":true,"online":false)", P::Zpl, false, PaperState::Ok, false, std::nullopt},
  };
}

class EmulatedPrinterStatus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(emulator_.ready()) << emulator_.log(); }

  // Runs every row through `query`, each on a freshly set emulator.
  template <typename Query>
  void check_rows(Query query) {
    for (const Row& row : rows()) {
      ASSERT_EQ(emulator_.control(RESET), R"({"ok": true})");
      ASSERT_EQ(emulator_.control(R"("cmd":"set",)" + std::string(row.state)), R"({"ok": true})") << row.state;
      const PrinterStatus got = query(row.protocol);
      const std::string where = std::string(row.state) + " -> " + printer_status_json(got);
      EXPECT_TRUE(got.reachable) << where;
      EXPECT_TRUE(got.answered) << where;
      EXPECT_EQ(got.online, row.online) << where;
      EXPECT_EQ(got.paper, row.paper) << where;
      EXPECT_EQ(got.cover_open, row.cover_open) << where;
      EXPECT_EQ(got.error, row.error) << where;
    }
  }

  PrinterEmulatorProcess emulator_;
};

TEST_F(EmulatedPrinterStatus, OverTcpEveryStateIsToldInEachLanguage) {
  check_rows([&](StatusProtocol protocol) {
    return query_tcp_status(system_tcp_network(), "127.0.0.1", emulator_.tcp_port(), protocol, milliseconds(2000),
                            system_monotonic_clock());
  });
}

TEST_F(EmulatedPrinterStatus, OverASerialLineEveryStateIsToldInEachLanguage) {
  check_rows([&](StatusProtocol protocol) {
    return query_serial_status(system_serial_ports(), emulator_.pty(), 115200, protocol, milliseconds(2000),
                               system_monotonic_clock());
  });
}

TEST_F(EmulatedPrinterStatus, ASilentPrinterIsReachableButNotAnsweredAndOnlyAskedOnce) {
  ASSERT_EQ(emulator_.control(R"("cmd":"set","silent":true)"), R"({"ok": true})");
  const PrinterStatus got = query_tcp_status(system_tcp_network(), "127.0.0.1", emulator_.tcp_port(),
                                             StatusProtocol::EscPos, milliseconds(300), system_monotonic_clock());
  EXPECT_TRUE(got.reachable);
  EXPECT_FALSE(got.answered);
  EXPECT_EQ(got.online, std::nullopt);
  EXPECT_GE(got.elapsed_ms, 300u);
  EXPECT_EQ(emulator_.received_hex(), "100401");
}

TEST(CupsQueueStatus, StoppedAndOutOfPaperQueuesAreReportedAsTheSchedulerSeesThem) {
  // A backend standing for a printer out of paper: it says so and stops the queue.
  CupsTestServer server(std::map<std::string, std::string>{{"mediaempty",
                          "#!/bin/sh\n"
                          "[ $# -eq 0 ] && { echo 'direct mediaempty \"Unknown\" \"Sin papel\"'; exit 0; }\n"
                          "echo 'STATE: +media-empty-error' >&2\n"
                          "echo 'ERROR: sin papel' >&2\n"
                          "exit 4\n"}});
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_EQ(server.add_raw_queue("caja", 9).exit_code, 0);
  ASSERT_EQ(server.add_raw_queue("pausada", 9).exit_code, 0);
  ASSERT_EQ(run_command({"cupsdisable", "-h", server.socket(), "-r", "paused by test", "pausada"}).exit_code, 0);
  const CommandResult added = server.add_queue("vacia", "mediaempty:/");
  ASSERT_EQ(added.exit_code, 0) << added.output;
  const CommandResult submitted = server.submit("vacia", "ticket\n");
  ASSERT_EQ(submitted.exit_code, 0) << submitted.output;

  auto spooler = make_cups_spooler(server.socket());
  const auto status_of = [&](const char* queue) {
    return query_spooler_status(*spooler, queue, system_monotonic_clock());
  };
  // The backend runs once the job is queued; wait for it to stop the queue.
  PrinterStatus empty = status_of("vacia");
  for (int i = 0; i < 200 && !(empty.queue && empty.queue->state == QueueState::Stopped); ++i) {
    std::this_thread::sleep_for(milliseconds(50));
    empty = status_of("vacia");
  }
  EXPECT_EQ(printer_status_json(empty),
            R"({"source":"spooler","reachable":true,"answered":true,"busy":false,"online":null,)"
            R"("paper":"out","cover_open":null,"error":null,"drawer_pin3_high":null,)"
            R"("queue":{"state":"stopped","reasons":["media-empty-error","paused"],"jobs":1},)"
            R"("raw":"","elapsed_ms":)" + std::to_string(empty.elapsed_ms) + "}")
      << server.log();

  const PrinterStatus paused = status_of("pausada");
  ASSERT_TRUE(paused.queue);
  EXPECT_EQ(*paused.queue, (QueueStatus{QueueState::Stopped, {"paused"}, 0}));
  EXPECT_EQ(paused.online, std::nullopt);
  EXPECT_EQ(paused.paper, PaperState::Unknown);

  const PrinterStatus idle = status_of("caja");
  ASSERT_TRUE(idle.queue);
  EXPECT_EQ(*idle.queue, (QueueStatus{QueueState::Idle, {}, 0}));

  const PrinterStatus missing = status_of("nope");
  EXPECT_FALSE(missing.reachable);
  EXPECT_EQ(missing.queue, std::nullopt);
}

TEST(CupsJobConfirmation, ACompletedJobIsTransmittedAndAHeldOneSpooled) {
  CupsTestServer server;
  ASSERT_TRUE(server.ready()) << server.log();
  LoopbackSink printer;
  ASSERT_EQ(server.add_raw_queue("caja", printer.port()).exit_code, 0);
  ASSERT_EQ(server.add_raw_queue("pausada", printer.port()).exit_code, 0);
  ASSERT_EQ(server.pause_queue("pausada").exit_code, 0);
  auto spooler = make_cups_spooler(server.socket());
  PrintPlatform platform{system_tcp_network(), system_serial_ports(), *spooler, system_printer_directory()};
  const std::vector<std::uint8_t> job{'t', 'i', 'c', 'k', 'e', 't', '\n'};
  ScriptedRandom random;
  const auto confirm = [&](const char* queue, int timeout_ms) {
    return print_and_confirm(PrintTarget{PrintTarget::WinSpool{queue}}, job,
                             ConfirmRequest{std::nullopt, milliseconds(timeout_ms)}, platform, random);
  };

  auto sent = confirm("caja", 10000);
  ASSERT_TRUE(sent.ok()) << sent.error().text;
  EXPECT_EQ(sent->confirmed, Confirmed::Transmitted) << server.log();
  EXPECT_EQ(sent->status, std::nullopt);
  // The printer got the job's bytes and nothing more.
  EXPECT_EQ(printer.closed_connection(0, std::chrono::seconds(10)), job);

  const auto start = std::chrono::steady_clock::now();
  auto held = confirm("pausada", 1000);
  ASSERT_TRUE(held.ok()) << held.error().text;
  EXPECT_EQ(held->confirmed, Confirmed::Spooled);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(1000));
}

}  // namespace
}  // namespace zunel
