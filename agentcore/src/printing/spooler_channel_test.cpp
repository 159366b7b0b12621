#include "printing/spooler_channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "print_fakes.h"

namespace zunel {
namespace {

using Step = RecordingSpooler::Step;

struct SpoolerCase {
  const char* name;
  void (*script)(RecordingSpooler&);
  std::size_t size;
  const char* error;  // nullptr: success
  std::vector<std::string> log;
};

TEST(SendWinspool, CleansUpAsEachPathRequires) {
  const std::vector<SpoolerCase> cases = {
      {"open fails: nothing else is called", [](RecordingSpooler& s) { s.failing[Step::Open] = 1801; }, 100,
       "OpenPrinter('Caja 1') falló (Win32 err 1801)", {"open:Caja 1"}},
      {"start of document fails: closed", [](RecordingSpooler& s) { s.failing[Step::StartDoc] = 5; }, 100,
       "StartDocPrinter falló (Win32 err 5)", {"open:Caja 1", "start_doc:Zunel:RAW", "close"}},
      {"start of page fails: closed, the document not ended",
       [](RecordingSpooler& s) { s.failing[Step::StartPage] = 6; }, 100, "StartPagePrinter falló (Win32 err 6)",
       {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "close"}},
      {"write fails: page and document ended, closed, the write's own code",
       [](RecordingSpooler& s) { s.failing[Step::Write] = 63; }, 100, "WritePrinter falló (Win32 err 63)",
       {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "write:100", "end_page", "end_doc", "close"}},
      {"short write is reported, not retried", [](RecordingSpooler& s) { s.short_write = 10; }, 100,
       "WritePrinter escribió 10/100 bytes",
       {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "write:100", "end_page", "end_doc", "close"}},
      {"complete", [](RecordingSpooler&) {}, 100, nullptr,
       {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "write:100", "end_page", "end_doc", "close"}},
      {"empty job writes a count of 0", [](RecordingSpooler&) {}, 0, nullptr,
       {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "write:0", "end_page", "end_doc", "close"}},
      {"failures of the ending calls are ignored",
       [](RecordingSpooler& s) { s.failing = {{Step::EndPage, 1}, {Step::EndDoc, 2}, {Step::Close, 3}}; }, 100,
       nullptr, {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "write:100", "end_page", "end_doc", "close"}},
      {"write fails and the ending calls fail too: still the write's code",
       [](RecordingSpooler& s) { s.failing = {{Step::Write, 1167}, {Step::EndPage, 9}, {Step::EndDoc, 9}}; }, 100,
       "WritePrinter falló (Win32 err 1167)",
       {"open:Caja 1", "start_doc:Zunel:RAW", "start_page", "write:100", "end_page", "end_doc", "close"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSpooler spooler;
    c.script(spooler);
    std::vector<std::uint8_t> bytes(c.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 3);
    const Status status = send_winspool(spooler, "Caja 1", bytes);
    if (c.error == nullptr) {
      ASSERT_TRUE(status.ok()) << status.error();
      EXPECT_EQ(spooler.received, bytes);
    } else {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error(), c.error);
    }
    EXPECT_EQ(spooler.log, c.log);
  }
}

TEST(SendWinspool, QuotesThePrinterNameExactlyAsReceived) {
  RecordingSpooler spooler;
  spooler.failing[Step::Open] = 1801;
  const std::string name = " \\\\srv\\Etiquetas 'A' ñ ";
  const Status status = send_winspool(spooler, name, {});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), "OpenPrinter('" + name + "') falló (Win32 err 1801)");
  EXPECT_EQ(spooler.log, std::vector<std::string>{"open:" + name});
}

}  // namespace
}  // namespace zunel
