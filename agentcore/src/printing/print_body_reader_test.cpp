#include "printing/print_body_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "security_test_support.h"

namespace zunel {
namespace {

using Bytes = std::vector<std::uint8_t>;

PrintTarget network(std::string host, std::uint16_t port) { return {PrintTarget::Network{std::move(host), port}}; }
PrintTarget usb(std::uint16_t v, std::uint16_t p) { return {PrintTarget::Usb{v, p}}; }
PrintTarget serial(std::string port, std::uint32_t baud) { return {PrintTarget::Serial{std::move(port), baud}}; }
PrintTarget winspool(std::string printer) { return {PrintTarget::WinSpool{std::move(printer)}}; }

// Every body is also fed to the decoder in pieces of these sizes, which cut
// numbers, strings, UTF-8 sequences and the byte array's pairs anywhere.
constexpr std::size_t PIECE_SIZES[] = {1, 2, 3, 7, 4096};

Outcome<PrintBody> read_in_pieces(std::string_view text, std::size_t piece) {
  PrintBodyDecoder decoder;
  for (std::size_t at = 0; at < text.size(); at += piece) decoder.feed(text.substr(at, piece));
  return decoder.finish();
}

struct Accepted {
  const char* json;
  PrintTarget target;
  Bytes bytes;
};

TEST(PrintBodyReader, AcceptsEveryFormAndKind) {
  const std::vector<Accepted> cases = {
      {R"({"target":{"kind":"network","host":"192.168.1.50","port":9100},"bytes":[27,64,65,10]})",
       network("192.168.1.50", 9100), {27, 64, 65, 10}},
      // Members in any order, "kind" last, unknown members skipped whatever they hold.
      {R"({"bytes":[0,255],"extra":{"a":[1,{"b":null}]},"target":{"port":0,"x":[true],"host":"h","kind":"network"}})",
       network("h", 0), {0, 255}},
      {R"({"target":{"kind":"network","host":"::1","port":65535,"note":"x"},"bytes":[]})", network("::1", 65535), {}},
      {R"({"target":{"kind":"usb","vendor_id":1208,"product_id":514},"bytes":[1]})", usb(1208, 514), {1}},
      {R"({"target":{"baud":4294967295,"kind":"serial","port":"COM12"},"bytes":[2]})",
       serial("COM12", 4294967295u), {2}},
      {R"({"target":{"kind":"winspool","printer":"Caja \u00e9 \"1\""},"bytes":[3]})",
       winspool("Caja \xc3\xa9 \"1\""), {3}},
      // Array forms of the body and of the target.
      {R"([{"kind":"winspool","printer":"P"},[65]])", winspool("P"), {65}},
      {R"([["network","10.0.0.1",9100],[]])", network("10.0.0.1", 9100), {}},
      {R"({"target":["usb",0,65535],"bytes":[]})", usb(0, 65535), {}},
      {R"({"target":["serial","/dev/ttyS0",9600],"bytes":[9]})", serial("/dev/ttyS0", 9600), {9}},
      // A member the kind does not use may hold anything, even a mistyped field of another kind.
      {R"({"target":{"kind":"winspool","printer":"P","port":{"k":1},"baud":-1,"host":7},"bytes":[]})",
       winspool("P"), {}},
      // Texts exactly as sent: no trimming, embedded NUL kept.
      {R"({"target":{"kind":"network","host":" Host ","port":1},"bytes":[]})", network(" Host ", 1), {}},
      {R"({"target":{"kind":"winspool","printer":"a\u0000b"},"bytes":[]})", winspool(std::string("a\0b", 3)), {}},
      // Surrounding white space, -0 as the integer zero, a surrogate pair.
      {" \n\t{\"target\":{\"kind\":\"winspool\",\"printer\":\"\\ud83d\\ude00\"},\"bytes\":[-0]} \r\n",
       winspool("\xf0\x9f\x98\x80"), {0}},
      // Byte arrays in their plain form, and with what the plain form leaves out.
      {R"({"target":["winspool","P"],"bytes":[0,9,10,99,100,199,200,249,250,255,0,0]})", winspool("P"),
       {0, 9, 10, 99, 100, 199, 200, 249, 250, 255, 0, 0}},
      {R"({"target":["winspool","P"],"bytes":[1,2,3 ,4, 5,-0,6,7,8,9]})", winspool("P"), {1, 2, 3, 4, 5, 0, 6, 7, 8, 9}},
      {"{\"bytes\":[\n1,\r\n2\t,3],\"target\":[\"winspool\",\"[\\\"é\"]}", winspool("[\"\xc3\xa9"), {1, 2, 3}},
      {R"({"target":{"kind":"winspool","printer":"[["},"x":"[","y":[[]],"bytes":[5,6,7,8]})", winspool("[["),
       {5, 6, 7, 8}},
      // The bytes as base64 instead of numbers, anywhere among the members;
      // JSON escapes count as the characters they stand for.
      {R"({"target":{"kind":"network","host":"192.168.1.50","port":9100},"bytes_base64":"G0BBCg=="})",
       network("192.168.1.50", 9100), {27, 64, 65, 10}},
      {R"({"bytes_base64":"","x":[1],"target":["winspool","P"]})", winspool("P"), {}},
      {R"({"target":["winspool","P"],"bytes_base64":"\/\/\/\/"})", winspool("P"), {255, 255, 255}},
      {R"({"target":["winspool","P"],"bytes_base64":"\u0041QI\u0044","bytes_base65":[1]})", winspool("P"),
       {1, 2, 3}},
      // The same name in different objects is no duplicate.
      {R"({"a":{"a":{"a":1},"b":[{"a":1},{"a":2}]},"target":{"kind":"winspool","printer":"P","a":1},"bytes":[]})",
       winspool("P"), {}},
  };
  for (const auto& c : cases) {
    auto body = read_print_body(c.json);
    ASSERT_TRUE(body.ok()) << c.json << ": " << body.error();
    EXPECT_EQ(body->target, c.target) << c.json;
    EXPECT_EQ(body->bytes, c.bytes) << c.json;
    for (std::size_t piece : PIECE_SIZES) {
      auto pieces = read_in_pieces(c.json, piece);
      ASSERT_TRUE(pieces.ok()) << c.json << " in pieces of " << piece << ": " << pieces.error();
      EXPECT_EQ(pieces->target, c.target) << c.json << " in pieces of " << piece;
      EXPECT_EQ(pieces->bytes, c.bytes) << c.json << " in pieces of " << piece;
    }
  }
}

TEST(PrintBodyReader, RefusesBodiesThatBreakARule) {
  const std::string t = R"({"kind":"winspool","printer":"P"})";
  std::vector<std::string> cases = {
      // Not one JSON value.
      "", " ", "{", "nul", R"({"target":)" + t + R"(,"bytes":[]} {})", R"({"target":)" + t + R"(,"bytes":[]}x)",
      // Body shape.
      "[]", "null", "65", R"("text")", R"({"bytes":[]})", R"({"target":)" + t + "}",
      "[" + t + "]", "[" + t + ",[],[]]", R"({"target":)" + t + R"(,"bytes":[],"bytes":[]})",
      R"({"target":)" + t + R"(,"target":)" + t + R"(,"bytes":[]})", R"({"target":null,"bytes":[]})",
      // Bytes.
      R"({"target":)" + t + R"(,"bytes":"QUJD"})", R"({"target":)" + t + R"(,"bytes":[256]})",
      R"({"target":)" + t + R"(,"bytes":[-1]})", R"({"target":)" + t + R"(,"bytes":[1.0]})",
      R"({"target":)" + t + R"(,"bytes":[1e1]})", R"({"target":)" + t + R"(,"bytes":["1"]})",
      R"({"target":)" + t + R"(,"bytes":[null]})", R"({"target":)" + t + R"(,"bytes":[[1]]})",
      R"({"target":)" + t + R"(,"bytes":[18446744073709551615]})", R"({"target":)" + t + R"(,"bytes":{}})",
      R"({"target":)" + t + R"(,"bytes":[1,]})",
      // Bytes as base64: exactly one of the two members, a string in the
      // standard form only, never in the array form of the body.
      R"({"target":)" + t + R"(,"bytes":[],"bytes_base64":""})",
      R"({"bytes_base64":"QQ==","target":)" + t + R"(,"bytes":[65]})",
      R"({"target":)" + t + R"(,"bytes_base64":"","bytes_base64":""})",
      R"({"target":)" + t + R"(,"bytes_base64":null})", R"({"target":)" + t + R"(,"bytes_base64":65})",
      R"({"target":)" + t + R"(,"bytes_base64":[65]})", R"({"target":)" + t + R"(,"bytes_base64":{}})",
      R"({"target":)" + t + R"(,"bytes_base64":true})", R"({"target":)" + t + R"(,"bytes_base64":"QQ"})",
      R"({"target":)" + t + R"(,"bytes_base64":"QUJDQ"})", R"({"target":)" + t + R"(,"bytes_base64":"QQ="})",
      R"({"target":)" + t + R"(,"bytes_base64":"QR=="})", R"({"target":)" + t + R"(,"bytes_base64":"QQ==QQ=="})",
      R"({"target":)" + t + R"(,"bytes_base64":" QQ=="})", R"({"target":)" + t + R"(,"bytes_base64":"QQ==\n"})",
      R"({"target":)" + t + R"(,"bytes_base64":"QUJD\r\nQUJD"})", R"({"target":)" + t + R"(,"bytes_base64":"QUJ-"})",
      R"({"target":)" + t + R"(,"bytes_base64":"QUJ_"})", R"({"target":)" + t + R"(,"bytes_base64":"\u00e9AAA"})",
      "[" + t + R"(,"QUJD"])",
      // Kind.
      R"({"target":{"kind":"Winspool","printer":"P"},"bytes":[]})",
      R"({"target":{"kind":"lpt","printer":"P"},"bytes":[]})",
      R"({"target":{"printer":"P"},"bytes":[]})",
      R"({"target":{"kind":"winspool","kind":"winspool","printer":"P"},"bytes":[]})",
      R"({"target":{"kind":1,"printer":"P"},"bytes":[]})",
      // Fields: missing, twice, of another type, out of range.
      R"({"target":{"kind":"serial","port":"COM1"},"bytes":[]})",
      R"({"target":{"kind":"winspool","printer":"P","printer":"Q"},"bytes":[]})",
      R"({"target":{"kind":"network","host":"h","port":65536},"bytes":[]})",
      R"({"target":{"kind":"network","host":"h","port":-1},"bytes":[]})",
      R"({"target":{"kind":"network","host":"h","port":91.0},"bytes":[]})",
      R"({"target":{"kind":"network","host":"h","port":"9100"},"bytes":[]})",
      R"({"target":{"kind":"network","host":1,"port":9100},"bytes":[]})",
      R"({"target":{"kind":"network","host":null,"port":9100},"bytes":[]})",
      R"({"target":{"kind":"usb","vendor_id":65536,"product_id":1},"bytes":[]})",
      R"({"target":{"kind":"serial","port":"COM1","baud":4294967296},"bytes":[]})",
      R"({"target":{"kind":"serial","port":"COM1","baud":9600e0},"bytes":[]})",
      R"({"target":{"kind":"winspool","printer":["P"]},"bytes":[]})",
      // Array form of the target: wrong arity, order or kind.
      R"({"target":["network","h"],"bytes":[]})", R"({"target":["network","h",1,2],"bytes":[]})",
      R"({"target":["network",9100,"h"],"bytes":[]})", R"({"target":[],"bytes":[]})",
      R"({"target":["Network","h",1],"bytes":[]})", R"({"target":[{"kind":"winspool"},"P"],"bytes":[]})",
      // Duplicates are refused inside skipped members too, at any depth,
      // however far apart, and when only their escapes differ.
      R"({"target":)" + t + R"(,"bytes":[],"x":{"a":1,"a":2}})",
      R"({"target":{"kind":"winspool","printer":"P","x":[{"k":1,"k":1}]},"bytes":[]})",
      R"({"target":)" + t + R"(,"bytes":[],"x":[[{"a":{"b":{"c":[1],"d":2,"c":3}}}]]})",
      R"({"target":)" + t + R"(,"x":{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"a":9},"bytes":[]})",
      R"({"target":)" + t + R"(,"bytes":[],"\u0062ytes":[]})",
      R"({"target":)" + t + R"(,"bytes":[],"skip":1,"skip":1})",
      // Byte arrays that start in the plain form and then break a rule.
      R"({"target":)" + t + R"(,"bytes":[1,2,3,01,4]})", R"({"target":)" + t + R"(,"bytes":[1,2,3,256,4]})",
      R"({"target":)" + t + R"(,"bytes":[1,2,3,1000,4]})", R"({"target":)" + t + R"(,"bytes":[1,2,3,]})",
      R"({"target":)" + t + R"(,"bytes":[1,2,3, ]})", R"({"target":)" + t + R"(,"bytes":[1,2,1e1,4]})",
      R"({"target":)" + t + R"(,"bytes":[1,2,1.5,4]})", R"({"target":)" + t + R"(,"bytes":[1,2,-1,4]})",
      R"({"target":)" + t + R"(,"bytes":[1,2,"3",4]})", R"({"target":)" + t + R"(,"bytes":[1,2,,4]})",
      R"({"target":)" + t + R"(,"bytes":[1,2,3)", R"({"target":)" + t + R"(,"bytes":[1,2,3,)",
      R"({"target":)" + t + R"(,"bytes":[1,2,3]],"x":1})", R"({"target":)" + t + R"(,"bytes":[1,2,3]} 4)",
      // Malformed text: bad UTF-8, a lone surrogate escape, an unknown escape.
      "{\"target\":{\"kind\":\"winspool\",\"printer\":\"\xff\"},\"bytes\":[]}",
      "{\"target\":{\"kind\":\"winspool\",\"printer\":\"\xed\xa0\x80\"},\"bytes\":[]}",
      R"({"target":{"kind":"winspool","printer":"\ud800"},"bytes":[]})",
      R"({"target":{"kind":"winspool","printer":"\x41"},"bytes":[]})",
  };
  // The same breaks after a long plain run, where values are taken sixteen
  // characters at a time, at each offset from the run's start.
  std::string run = R"({"target":)" + t + R"(,"bytes":[)";
  for (int i = 0; i < 4; ++i) run += "1,22,255,0,10,";
  for (const char* step : {"", "7,", "7,7,", "88,7,"}) {
    for (const char* odd : {"01,", "256,", "1000,", "2,,", "1e1,", "-1,", "1.5,", "\"3\","}) {
      cases.push_back(run + step + odd + "4,5,6,7,8,9,10,11,12,13]}");
    }
    for (const char* end : {"2,4, ]}", "4,", "4,5,6,7,8,9,10,11,12,300"}) cases.push_back(run + step + end);
  }
  for (const auto& json : cases) {
    EXPECT_FALSE(read_print_body(json).ok()) << json;
    for (std::size_t piece : PIECE_SIZES) EXPECT_FALSE(read_in_pieces(json, piece).ok()) << json << " / " << piece;
  }
}

TEST(PrintBodyReader, ReadsTheConfirmationAskedFor) {
  using std::chrono::milliseconds;
  const std::string net = R"("target":{"kind":"network","host":"h","port":9100},"bytes":[1])";
  const std::string ser = R"("target":["serial","COM1",9600],"bytes":[1])";
  const std::string spool = R"("target":["winspool","P"],"bytes":[1])";
  const auto asked = [](std::optional<StatusProtocol> protocol, int ms) {
    return Outcome<std::optional<ConfirmRequest>>(std::optional<ConfirmRequest>(ConfirmRequest{protocol, milliseconds(ms)}));
  };
  const Outcome<std::optional<ConfirmRequest>> none = std::optional<ConfirmRequest>();
  struct Case {
    std::string json;
    Outcome<std::optional<ConfirmRequest>> confirm;
  };
  const std::vector<Case> cases = {
      {"{" + net + "}", none},
      {"{" + net + R"(,"confirm":null})", none},
      {"{" + net + R"(,"confirm":{"protocol":"escpos"}})", asked(StatusProtocol::EscPos, 10000)},
      // Before the target, other members skipped, the bounds themselves.
      {R"({"confirm":{"timeout_ms":1000,"x":[1],"protocol":"zpl"},)" + ser + "}", asked(StatusProtocol::Zpl, 1000)},
      {"{" + ser + R"(,"confirm":{"protocol":"star","timeout_ms":30000}})", asked(StatusProtocol::Star, 30000)},
      {"{" + net + R"(,"confirm":{"protocol":"escpos","timeout_ms":null}})", asked(StatusProtocol::EscPos, 10000)},
      // A spooler target is asked for its job's state: the protocol is not read.
      {"{" + spool + R"(,"confirm":{}})", asked(std::nullopt, 10000)},
      {"{" + spool + R"(,"confirm":{"protocol":"epl","timeout_ms":5000}})", asked(std::nullopt, 5000)},
      // Refused with the page's texts, the body itself well-formed.
      {"{" + net + R"(,"confirm":true})", fail(CONFIRM_INVALID)},
      {"{" + net + R"(,"confirm":["escpos"]})", fail(CONFIRM_INVALID)},
      {"{" + spool + R"(,"confirm":"escpos"})", fail(CONFIRM_INVALID)},
      {"{" + net + R"(,"confirm":{}})", fail(CONFIRM_PROTOCOL_MISSING)},
      {"{" + ser + R"(,"confirm":{"protocol":null}})", fail(CONFIRM_PROTOCOL_MISSING)},
      {"{" + net + R"(,"confirm":{"protocol":"ESCPOS"}})", fail(CONFIRM_PROTOCOL_UNKNOWN)},
      {"{" + net + R"(,"confirm":{"protocol":1}})", fail(CONFIRM_PROTOCOL_UNKNOWN)},
      {"{" + net + R"(,"confirm":{"protocol":"escpos","timeout_ms":999}})", fail(CONFIRM_TIMEOUT_INVALID)},
      {"{" + net + R"(,"confirm":{"protocol":"escpos","timeout_ms":30001}})", fail(CONFIRM_TIMEOUT_INVALID)},
      {"{" + spool + R"(,"confirm":{"timeout_ms":5000.0}})", fail(CONFIRM_TIMEOUT_INVALID)},
      {"{" + spool + R"(,"confirm":{"timeout_ms":-5000}})", fail(CONFIRM_TIMEOUT_INVALID)},
      {"{" + spool + R"(,"confirm":{"timeout_ms":"5000"}})", fail(CONFIRM_TIMEOUT_INVALID)},
  };
  const auto same = [](const Outcome<std::optional<ConfirmRequest>>& a,
                       const Outcome<std::optional<ConfirmRequest>>& b) {
    return a.ok() == b.ok() && (a.ok() ? *a == *b : a.error() == b.error());
  };
  for (const Case& c : cases) {
    auto body = read_print_body(c.json);
    ASSERT_TRUE(body.ok()) << c.json << ": " << body.error();
    EXPECT_TRUE(same(body->confirm, c.confirm)) << c.json;
    for (std::size_t piece : PIECE_SIZES) {
      auto pieces = read_in_pieces(c.json, piece);
      ASSERT_TRUE(pieces.ok()) << c.json << " in pieces of " << piece << ": " << pieces.error();
      EXPECT_TRUE(same(pieces->confirm, c.confirm)) << c.json << " in pieces of " << piece;
    }
  }
  // The member's JSON is held to every rule of the body's.
  for (const std::string& json : {"{" + net + R"(,"confirm":{"protocol":"escpos","protocol":"zpl"}})",
                                 "{" + net + R"(,"confirm":{},"confirm":{}})",
                                 "{" + net + R"(,"confirm":{"x":{"a":1,"a":1}}})"}) {
    EXPECT_FALSE(read_print_body(json).ok()) << json;
    for (std::size_t piece : PIECE_SIZES) EXPECT_FALSE(read_in_pieces(json, piece).ok()) << json << " / " << piece;
  }
}

TEST(PrintBodyReader, ReadsTheJobId) {
  const std::string spool = R"("target":["winspool","P"],"bytes":[1])";
  const std::string longest(64, 'z');
  const Outcome<std::optional<std::string>> none = std::optional<std::string>();
  const auto id = [](std::string text) { return Outcome<std::optional<std::string>>(std::optional<std::string>(text)); };
  struct Case {
    std::string json;
    Outcome<std::optional<std::string>> job_id;
  };
  const std::vector<Case> cases = {
      {"{" + spool + "}", none},
      {"{" + spool + R"(,"job_id":null})", none},
      {R"({"job_id":"A-z_0.9:x",)" + spool + "}", id("A-z_0.9:x")},
      {"{" + spool + R"(,"job_id":")" + longest + "\"}", id(longest)},
      {"{" + spool + R"(,"job_id":"\u0041"})", id("A")},
      {"{" + spool + R"(,"job_id":""})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":")" + longest + "z\"}", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":"caja 1"})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":".."})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":"ñ"})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":"a\u0000"})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":"a/b"})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":12})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":["a"]})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":{"a":1}})", fail(JOB_ID_INVALID)},
      {"{" + spool + R"(,"job_id":true})", fail(JOB_ID_INVALID)},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : PIECE_SIZES) {
      auto body = read_in_pieces(c.json, piece);
      ASSERT_TRUE(body.ok()) << c.json << " in pieces of " << piece << ": " << body.error();
      EXPECT_EQ(body->job_id.ok(), c.job_id.ok()) << c.json << " in pieces of " << piece;
      if (body->job_id.ok() && c.job_id.ok()) {
        EXPECT_EQ(*body->job_id, *c.job_id) << c.json;
      }
      if (!body->job_id.ok() && !c.job_id.ok()) {
        EXPECT_EQ(body->job_id.error(), c.job_id.error()) << c.json;
      }
    }
  }
  EXPECT_FALSE(read_print_body("{" + spool + R"(,"job_id":"a","job_id":"a"})").ok());
}

TEST(PrintBodyReader, NestingLimitIs128Levels) {
  // The body object is level 1; a skipped member adds the rest.
  const auto body_with_depth = [](int depth) {
    const int inner = depth - 1;
    return R"({"target":{"kind":"winspool","printer":"P"},"bytes":[],"x":)" + std::string(inner, '[') +
           std::string(inner, ']') + "}";
  };
  EXPECT_TRUE(read_print_body(body_with_depth(128)).ok());
  EXPECT_FALSE(read_print_body(body_with_depth(129)).ok());
}

TEST(PrintBodyReader, DecodesALargeJobByteForByte) {
  // Long enough that the parser hands over numbers and strings in parts.
  Bytes expected;
  std::string json = R"({"target":{"kind":"network","host":")" + std::string(70000, 'h') +
                     R"(","port":9100},"bytes":[)";
  for (int i = 0; i < 300000; ++i) {
    const auto b = static_cast<std::uint8_t>((i * 31 + i / 256) % 256);
    expected.push_back(b);
    json += std::to_string(b);
    json += i + 1 < 300000 ? "," : "]}";
  }
  // The same bytes as base64, and with every "/" escaped as some JSON
  // encoders write it.
  const std::string base64 = testing::base64(expected.data(), expected.size(), sodium_base64_VARIANT_ORIGINAL);
  std::string escaped;
  for (char c : base64) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  const std::string head = R"({"target":["network","h",9100],"bytes_base64":")";
  for (const std::string& text : {json, head + base64 + "\"}", head + escaped + "\"}"}) {
    auto body = read_print_body(text);
    ASSERT_TRUE(body.ok()) << body.error();
    EXPECT_EQ(body->bytes, expected);
    for (std::size_t piece : {std::size_t{7}, std::size_t{4096}}) {
      auto pieces = read_in_pieces(text, piece);
      ASSERT_TRUE(pieces.ok()) << pieces.error();
      EXPECT_EQ(pieces->bytes, expected) << piece;
    }
  }
  EXPECT_EQ(std::get<PrintTarget::Network>(read_print_body(json)->target.kind).host.size(), 70000u);
}

TEST(PrintBodyDecoder, TellsMalformedUtf8ApartFromTheJsonVerdict) {
  const std::string valid_json = R"({"target":{"kind":"winspool","printer":"é"},"bytes":[1]})";
  struct Case {
    std::string text;
    bool utf8;
    bool json;
  };
  const std::vector<Case> cases = {
      {valid_json, true, true},
      {"{\"bytes\":[1,2,x", true, false},
      // Malformed UTF-8 after the JSON already failed is still seen.
      {"{\"bytes\":[1,x,\xff]", false, false},
      {"{\"bytes\":[1,2,3,4,5,6]} \xc3", false, false},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : PIECE_SIZES) {
      PrintBodyDecoder decoder;
      for (std::size_t at = 0; at < c.text.size(); at += piece) decoder.feed(std::string_view(c.text).substr(at, piece));
      const bool json = decoder.finish().ok();
      EXPECT_EQ(decoder.valid_utf8(), c.utf8) << c.text << " / " << piece;
      EXPECT_EQ(json, c.json) << c.text << " / " << piece;
    }
  }
  // A sequence cut by the end of what has arrived is not malformed yet.
  PrintBodyDecoder decoder;
  decoder.feed("{\"target\":[\"winspool\",\"\xc3");
  EXPECT_TRUE(decoder.valid_utf8());
  (void)decoder.finish();
  EXPECT_FALSE(decoder.valid_utf8());
}

}  // namespace
}  // namespace zunel
