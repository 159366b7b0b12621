#include "base/journal_file.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <sstream>

#include "fake_clock.h"
#include "temp_dir.h"

namespace zunel {
namespace {

using testing::TempDir;

std::string line_of(int n, std::size_t size = 0) {
  std::string pad(size, 'x');
  return "{\"n\":" + std::to_string(n) + ",\"pad\":\"" + pad + "\"}";
}

TEST(JournalTime, WritesAndReadsUtc) {
  const struct {
    std::uint64_t secs;
    const char* text;
  } rows[] = {{0, "1970-01-01T00:00:00Z"}, {951782400, "2000-02-29T00:00:00Z"}, {1796730893, "2026-12-08T11:54:53Z"},
              {253402300799, "9999-12-31T23:59:59Z"}};
  for (const auto& row : rows) {
    EXPECT_EQ(iso_utc(row.secs), row.text);
    std::uint64_t back = 1;
    ASSERT_TRUE(parse_iso_utc(row.text, back)) << row.text;
    EXPECT_EQ(back, row.secs);
  }
  EXPECT_EQ(iso_utc(253402300800), "10000-01-01T00:00:00Z");  // written, never read back
  std::uint64_t ignored = 0;
  for (const char* bad : {"", "2026-02-30T00:00:00Z", "2026-12-08 11:54:53Z", "2026-12-08T24:00:00Z", "1969-12-31T23:59:59Z"}) {
    EXPECT_FALSE(parse_iso_utc(bad, ignored)) << bad;
  }
}

// The line written as text must be the one boost::json writes for the same
// members, escapes included.
TEST(JournalLine, WritesWhatTheJsonSerializerWrites) {
  const char* texts[] = {"", "Caja 1", "say \"hi\"", "C:\\tickets", "line\nbreak\ttab", "\x01\x1f",
                         "Caja Nº 1 — café", "</script>", "\x7f"};
  for (const char* text : texts) {
    boost::json::object members;
    members["label"] = text;
    members["job_id"] = nullptr;
    members["count"] = -42;
    members["target"] = boost::json::parse(R"({"kind":"network","host":"10.0.0.5","port":9100})");
    members["at"] = iso_utc(1796730893);
    members["ended"] = nullptr;
    JournalLine line(1796730893, "print");
    line.text("label", text).text_or_null("job_id", std::nullopt).number("count", -42);
    line.json("target", R"({"kind":"network","host":"10.0.0.5","port":9100})").time("at", 1796730893);
    line.time_or_null("ended", std::nullopt);
    EXPECT_EQ(std::move(line).done(), journal_line(1796730893, "print", members)) << text;
  }
  JournalLine empty(0, "e");
  EXPECT_EQ(std::move(empty.json("answer", "")).done(), R"({"t":"1970-01-01T00:00:00Z","event":"e","answer":null})");
}

TEST(JournalFile, AppendsWholeLinesAndReadsTheLastOnes) {
  TempDir dir;
  std::ostringstream diagnostics;
  {
    JournalFile journal(dir.path(), diagnostics);
    for (int n = 0; n < 5; ++n) journal.record(line_of(n));
  }
  const auto lines = read_journal_tail(dir.path(), 3);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines.front(), line_of(2));
  EXPECT_EQ(lines.back(), line_of(4));
  EXPECT_EQ(diagnostics.str(), "");
}

// A line its caller writes here, when the file is free, comes after what was
// queued before it.
TEST(JournalFile, ALineWrittenByItsCallerKeepsTheOrderOfTheQueue) {
  TempDir dir;
  std::ostringstream diagnostics;
  JournalFile journal(dir.path(), diagnostics);
  for (int round = 0; round < 50; ++round) {
    for (int n = 0; n < 3; ++n) journal.record(line_of(round * 4 + n));
    journal.record_here(line_of(round * 4 + 3));
    journal.flush();
    const auto lines = read_journal_tail(dir.path(), 4);
    ASSERT_EQ(lines.size(), 4u);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(lines[n], line_of(round * 4 + n)) << round;
  }
}

TEST(JournalFile, RotatesAtItsBoundKeepingOnePreviousFile) {
  TempDir dir;
  std::ostringstream diagnostics;
  FakeClock clock;
  {
    JournalFile journal(dir.path(), diagnostics, clock, JournalLimits{.rotate_bytes = 1000});
    for (int n = 0; n < 100; ++n) {
      journal.record(line_of(n, 80));
      journal.flush();
    }
  }
  EXPECT_LE(std::filesystem::file_size(dir.path() / JOURNAL_FILE), 1000u);
  EXPECT_LE(std::filesystem::file_size(dir.path() / JOURNAL_PREVIOUS_FILE), 1000u);
  const auto lines = read_journal_tail(dir.path(), 1000);
  ASSERT_GE(lines.size(), 10u);
  EXPECT_LE(lines.size(), 21u);  // the older files are gone
  EXPECT_EQ(lines.back(), line_of(99, 80));
}

TEST(JournalFile, SkipsATornLastLineAndWritesAfterIt) {
  TempDir dir;
  testing::write_file(dir.path() / JOURNAL_FILE, line_of(1) + "\n{\"n\":2,\"pa");
  EXPECT_EQ(read_journal_tail(dir.path(), 10), std::vector<std::string>{line_of(1)});
  std::ostringstream diagnostics;
  {
    JournalFile journal(dir.path(), diagnostics);
    journal.record(line_of(3));
  }
  EXPECT_EQ(read_journal_tail(dir.path(), 10), (std::vector<std::string>{line_of(1), line_of(3)}));
}

TEST(JournalFile, ARotationThatFailsIsToldOnceAndTheFileStopsGrowing) {
  TempDir dir;
  // The previous file's place is taken by a directory that cannot be removed.
  std::filesystem::create_directories(dir.path() / JOURNAL_PREVIOUS_FILE / "in-the-way");
  std::ostringstream diagnostics;
  {
    FakeClock clock;
    JournalFile journal(dir.path(), diagnostics, clock, JournalLimits{.rotate_bytes = 1000});
    for (int n = 0; n < 40; ++n) journal.record(line_of(n, 100));
    journal.flush();
  }
  EXPECT_LE(std::filesystem::file_size(dir.path() / JOURNAL_FILE), 1000u);
  const std::string told = diagnostics.str();
  EXPECT_NE(told.find("[diario] no se pudo rotar"), std::string::npos) << told;
  EXPECT_EQ(told.find("[diario]"), told.rfind("[diario]")) << told;
}

TEST(JournalFile, AnUnwritableDirectoryIsToldOnceAndNeverStopsTheCaller) {
  TempDir dir;
  const auto missing = dir.path() / "missing" / "deeper";
  std::ostringstream diagnostics;
  {
    JournalFile journal(missing, diagnostics);
    for (int n = 0; n < 3; ++n) {
      journal.record(line_of(n));
      journal.flush();
    }
    EXPECT_EQ(journal.dropped(), 3u);
  }
  const std::string told = diagnostics.str();
  EXPECT_NE(told.find("[diario]"), std::string::npos);
  EXPECT_EQ(told.find("[diario]"), told.rfind("[diario]"));  // once
}

}  // namespace
}  // namespace zunel
