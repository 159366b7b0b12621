#include "printing/status/status_body_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zunel {
namespace {

using std::chrono::milliseconds;

struct Row {
  std::string text;
  Outcome<StatusRequest> expected;
};

StatusRequest request(PrintTarget target, std::optional<StatusProtocol> protocol, int ms) {
  return StatusRequest{std::move(target), protocol, milliseconds(ms)};
}

TEST(StatusBody, ReadsTheTargetAsAPrintBodyDoesAndTheQuerysOwnMembers) {
  const PrintTarget lan{NetworkTarget{"192.168.1.50", 9100}};
  const std::vector<Row> rows = {
      {R"({"target":{"kind":"network","host":"192.168.1.50","port":9100},"protocol":"escpos"})",
       request(lan, StatusProtocol::EscPos, 1500)},
      {R"({"timeout_ms":100,"protocol":"star","target":["network","192.168.1.50",9100]})",
       request(lan, StatusProtocol::Star, 100)},
      {R"({"target":{"port":9100,"kind":"network","host":"192.168.1.50"},"protocol":"zpl"})",
       request(lan, StatusProtocol::Zpl, 2000)},
      {R"({"target":["serial","COM5",9600],"protocol":"escpos","timeout_ms":5000,"extra":[1,{}]})",
       request({SerialTarget{"COM5", 9600}}, StatusProtocol::EscPos, 5000)},
      {R"({"target":["serial","/dev/ttyUSB0",19200],"protocol":"zpl","timeout_ms":null})",
       request({SerialTarget{"/dev/ttyUSB0", 19200}}, StatusProtocol::Zpl, 2000)},
      // A spooler target needs no protocol and does not read one.
      {R"({"target":{"kind":"winspool","printer":"Caja \u00d1"}})",
       request({WinSpoolTarget{"Caja \xc3\x91"}}, std::nullopt, 1500)},
      {R"({"target":["winspool","Caja"],"protocol":"epl"})", request({WinSpoolTarget{"Caja"}}, std::nullopt, 1500)},
      // USB reads, with or without a protocol, to be refused by the query as a print is.
      {R"({"target":["usb",1208,3605]})", request({UsbTarget{1208, 3605}}, std::nullopt, 1500)},
      {R"({"target":["usb",1208,3605],"protocol":"escpos"})", request({UsbTarget{1208, 3605}}, std::nullopt, 1500)},
      // Refused.
      {R"({"target":["network","h",9100]})", fail(STATUS_PROTOCOL_MISSING)},
      {R"({"target":["network","h",9100],"protocol":null})", fail(STATUS_PROTOCOL_MISSING)},
      {R"({"target":["serial","COM1",9600],"protocol":"epl"})", fail(STATUS_PROTOCOL_UNKNOWN)},
      {R"({"target":["network","h",9100],"protocol":"ESCPOS"})", fail(STATUS_PROTOCOL_UNKNOWN)},
      {R"({"target":["network","h",9100],"protocol":1})", fail(STATUS_PROTOCOL_UNKNOWN)},
      {R"({"target":["network","h",9100],"protocol":"escpos","timeout_ms":99})", fail(STATUS_TIMEOUT_INVALID)},
      {R"({"target":["network","h",9100],"protocol":"escpos","timeout_ms":5001})", fail(STATUS_TIMEOUT_INVALID)},
      {R"({"target":["network","h",9100],"protocol":"escpos","timeout_ms":1500.0})", fail(STATUS_TIMEOUT_INVALID)},
      {R"({"target":["network","h",9100],"protocol":"escpos","timeout_ms":"1500"})", fail(STATUS_TIMEOUT_INVALID)},
      {R"({"target":["network","h",9100],"protocol":"escpos","timeout_ms":-1})", fail(STATUS_TIMEOUT_INVALID)},
      {R"({"target":["network","h",65536],"protocol":"escpos"})", fail(STATUS_BODY_INVALID)},
      {R"({"target":["network","h"],"protocol":"escpos"})", fail(STATUS_BODY_INVALID)},
      {R"({"target":{"kind":"network","host":"h","port":9100,"port":9101},"protocol":"escpos"})",
       fail(STATUS_BODY_INVALID)},
      {R"({"target":["network","h",9100],"protocol":"escpos","protocol":"zpl"})", fail(STATUS_BODY_INVALID)},
      {R"({"protocol":"escpos"})", fail(STATUS_BODY_INVALID)},
      {R"([["network","h",9100],"escpos"])", fail(STATUS_BODY_INVALID)},
      {R"({"target":["network","h",9100],"protocol":"escpos"} x)", fail(STATUS_BODY_INVALID)},
      {"{\"target\":[\"winspool\",\"\xff\"]}", fail(STATUS_BODY_INVALID)},
      {"", fail(STATUS_BODY_INVALID)},
  };
  for (const Row& row : rows) {
    auto got = read_status_body(row.text);
    ASSERT_EQ(got.ok(), row.expected.ok()) << row.text << (got.ok() ? "" : " -> " + got.error());
    if (got.ok()) {
      EXPECT_EQ(*got, *row.expected) << row.text;
    } else {
      EXPECT_EQ(got.error(), row.expected.error()) << row.text;
    }
  }
}

}  // namespace
}  // namespace zunel
