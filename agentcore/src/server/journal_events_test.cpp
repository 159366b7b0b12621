#include "server/journal_events.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "fake_clock.h"

namespace zunel {
namespace {

struct RecordingJournal final : Journal {
  void record(std::string line) override { lines.push_back(std::move(line)); }
  std::vector<std::string> lines;
};

TEST(ServerEvents, APrintersChangesAreWrittenAtMostFourTimesAMinuteAndTheRestCounted) {
  RecordingJournal journal;
  FakeClock clock(1'700'000'040);  // at the start of a minute
  ServerEvents events(&journal, clock);
  const std::string target = R"({"kind":"network","host":"10.0.0.9","port":9100})";
  for (int n = 0; n < 10; ++n) events.printer_status("p", "d", target, 200, "{\"n\":" + std::to_string(n) + "}");
  events.printer_status("p", "d", target, 200, R"({"n":9})");  // no change
  events.printer_status("other", "d", target, 200, R"({"n":0})");
  ASSERT_EQ(journal.lines.size(), 5u);
  clock.advance(60);
  events.printer_status("p", "d", target, 200, R"({"n":10})");
  ASSERT_EQ(journal.lines.size(), 6u);
  const auto last = boost::json::parse(journal.lines.back()).as_object();
  EXPECT_EQ(last.at("changes_untold").as_int64(), 6) << journal.lines.back();
  EXPECT_EQ(last.at("answer").at("n").as_int64(), 10);
}

}  // namespace
}  // namespace zunel
