#include "router/registration.h"

#include <gtest/gtest.h>

#include <string>

namespace zunel {
namespace {

using State = RegistrationRead::State;

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

RegistrationRead read(std::string_view text) {
  const auto b = bytes(text);
  return read_registration(b);
}

TEST(Registration, AMessageReadsBackWholeAndEveryShorterPrefixIsIncomplete) {
  const auto message = registration_message("1.4.0");
  ASSERT_TRUE(message);
  EXPECT_EQ(std::string(message->begin(), message->end()), std::string("ZREG\x01\x00\x05"
                                                                       "1.4.0",
                                                                       12));
  for (std::size_t n = 0; n < message->size(); ++n) {
    EXPECT_EQ(read_registration(std::span(*message).first(n)).state, State::incomplete) << n;
  }
  auto extra = *message;
  extra.push_back('x');
  const auto whole = read_registration(extra);
  EXPECT_EQ(whole.state, State::complete);
  EXPECT_EQ(whole.version, "1.4.0");
  EXPECT_EQ(whole.size, message->size()) << "bytes after the message are not its";
}

TEST(Registration, MalformedAtTheFirstByteThatBreaksTheForm) {
  struct Row {
    std::string received;
    const char* why;
  };
  const Row rows[] = {
      {"X", "not the magic"},
      {"ZREH", "magic's last byte"},
      {std::string("ZREG\x02", 5), "another format version"},
      {std::string("ZREG\x01\x01", 6), "format version's high byte"},
      {std::string("ZREG\x01\x00\x00", 7), "empty version"},
      {std::string("ZREG\x01\x00\x41", 7), "version longer than the bound"},
      {std::string("ZREG\x01\x00\x03"
                   "1 ",
                   9),
       "a space in the version"},
      {std::string("ZREG\x01\x00\x03"
                   "1\xc3",
                   9),
       "a byte over ASCII"},
  };
  for (const auto& row : rows) EXPECT_EQ(read(row.received).state, State::malformed) << row.why;
  EXPECT_EQ(read(std::string("ZREG\x01\x00\x40", 7) + std::string(64, '9')).state, State::complete)
      << "the longest version";
}

TEST(Registration, OnlyPrintableVersionsWithinTheBoundAreSent) {
  EXPECT_FALSE(registration_message(""));
  EXPECT_FALSE(registration_message(std::string(MAX_REGISTERED_VERSION + 1, '1')));
  EXPECT_FALSE(registration_message("1.0 beta"));
  EXPECT_TRUE(registration_message(std::string(MAX_REGISTERED_VERSION, '1')));
}

TEST(Registration, RepliesAreTheirBytesAndNoOther) {
  EXPECT_EQ(registration_reply('A'), RegistrationReply::accepted);
  EXPECT_EQ(registration_reply('D'), RegistrationReply::already_registered);
  EXPECT_EQ(registration_reply('M'), RegistrationReply::malformed);
  EXPECT_FALSE(registration_reply('a'));
  EXPECT_FALSE(registration_reply(0));
}

}  // namespace
}  // namespace zunel
