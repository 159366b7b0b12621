#include "printing/print_target_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "base/strict_json.h"
#include "printing/print_body_reader.h"

namespace zunel {
namespace {

// A target's text through the strict reader, then the target reader.
Outcome<PrintTarget> read_target_text(const std::string& text) {
  auto value = parse_strict_json(text);
  if (!value) return fail(value.error());
  return read_print_target(*value);
}

TEST(PrintTargetReader, ATargetAloneReadsAsInsideAPrintBody) {
  for (const std::string target :
       {R"(["network","h",9100])", R"({"kind":"serial","baud":9600,"port":"COM3"})", R"(["winspool",""])",
        R"({"kind":"usb","vendor_id":1,"product_id":2})", R"({"printer":"P","x":[1,{"y":2}],"kind":"winspool"})",
        R"({"kind":"network","host":"h","port":0,"baud":-1,"printer":null})"}) {
    auto alone = read_target_text(target);
    auto inside = read_print_body("[" + target + ",[]]");
    ASSERT_TRUE(alone.ok()) << target << ": " << alone.error();
    ASSERT_TRUE(inside.ok()) << target;
    EXPECT_EQ(*alone, inside->target) << target;
  }
  for (const std::string refused :
       {R"(["network","h",9100],1)", R"(["network","h",9100] [])", R"("network")", R"([["network","h",9100],[]])",
        R"({"kind":"winspool"})", R"({"kind":1,"printer":"P"})", R"({"kind":null})", R"([{"kind":"usb"},1,2])",
        R"(["winspool","P","Q"])", R"(["lpt","P"])", R"({"kind":"usb","vendor_id":1,"product_id":-2})",
        R"({"kind":"serial","port":"COM1","baud":[9600]})", R"(null)", R"([])"}) {
    EXPECT_FALSE(read_target_text(refused).ok()) << refused;
  }
}

}  // namespace
}  // namespace zunel
