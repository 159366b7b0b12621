#include "main/console_output.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace zunel {
namespace {

// Records every piece the buffer hands to the console.
struct RecordingConsole {
  std::vector<std::u16string> writes;
  bool accept = true;
  WideTextBuffer::Writer writer() {
    return [this](std::u16string_view text) {
      writes.emplace_back(text);
      return accept;
    };
  }
  std::u16string all() const {
    std::u16string joined;
    for (const auto& w : writes) joined += w;
    return joined;
  }
};

TEST(WideTextBuffer, WritesAccentedTextAsUtf16OnFlush) {
  RecordingConsole console;
  WideTextBuffer buffer(console.writer());
  std::ostream out(&buffer);
  out << "Zunel print agent (headless) 1.0.1 — ¿Está corriendo? impresión";
  EXPECT_TRUE(console.writes.empty());
  out.flush();
  EXPECT_EQ(console.all(), u"Zunel print agent (headless) 1.0.1 — ¿Está corriendo? impresión");
}

TEST(WideTextBuffer, NeverSplitsACharacterAcrossWrites) {
  RecordingConsole console;
  WideTextBuffer buffer(console.writer());
  std::ostream out(&buffer);
  // Byte by byte with a flush after each: the two-byte "ó", the three-byte
  // arrow and the four-byte emoji each arrive whole, once.
  for (char byte : std::string("ó→\xf0\x9f\x91\x8d")) out.put(byte).flush();
  EXPECT_EQ(console.writes, (std::vector<std::u16string>{u"ó", u"→", u"\U0001F44D"}));
  // Text longer than the buffer, with multi-byte characters across its edge.
  std::u16string expected;
  for (int i = 0; i < 700; ++i) {
    out << "añ";
    expected += u"añ";
  }
  out.flush();
  EXPECT_EQ(console.all(), u"ó→\U0001F44D" + expected);
}

TEST(WideTextBuffer, AFailedConsoleWriteFailsTheStream) {
  RecordingConsole console;
  console.accept = false;
  WideTextBuffer buffer(console.writer());
  std::ostream out(&buffer);
  out << "x" << std::flush;
  EXPECT_TRUE(out.bad());
}

}  // namespace
}  // namespace zunel
