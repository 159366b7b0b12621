#include "server/error_codes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "server/answers.h"

namespace zunel {
namespace {

// The codes the integration guide's table lists: the first cell of each row
// of the first table under the "Error codes" heading, written as `code`.
std::set<std::string> codes_in_guide() {
  std::ifstream file(ZUNEL_GUIDE_FILE);
  std::set<std::string> codes;
  std::string line;
  bool in_section = false, in_table = false;
  while (std::getline(file, line)) {
    if (line.starts_with("#")) in_section = line.find("Error codes") != std::string::npos;
    if (!in_section) continue;
    if (line.starts_with("|---")) {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    if (!line.starts_with("| `")) break;  // the end of the table
    const std::size_t end = line.find('`', 3);
    if (end != std::string::npos) codes.insert(line.substr(3, end - 3));
  }
  return codes;
}

bool snake_case(std::string_view name) {
  if (name.empty() || name.front() == '_' || name.back() == '_') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || c == '_')) return false;
  }
  return true;
}

TEST(ErrorCodes, EveryCodeTheAgentCanSendIsInTheGuidesTableAndNothingElseIs) {
  std::set<std::string> names;
  for (ErrorCode code : ALL_ERROR_CODES) {
    const std::string name(error_code_name(code));
    EXPECT_TRUE(snake_case(name)) << name;
    EXPECT_TRUE(names.insert(name).second) << name << " names two codes";
  }
  const std::set<std::string> guide = codes_in_guide();
  ASSERT_FALSE(guide.empty()) << "no table of codes found in " << ZUNEL_GUIDE_FILE;
  EXPECT_EQ(guide, names);
}

TEST(ErrorCodes, AnErrorBodyHasItsCodeThenTheTextThenTheReason) {
  EXPECT_EQ(error_body(ErrorCode::BadJson, "json inválido"), R"({"code":"bad_json","error":"json inválido"})");
  EXPECT_EQ(error_body(ErrorCode::Unauthorized, "no autorizado", "nonce_reused"),
            R"({"code":"unauthorized","error":"no autorizado","reason":"nonce_reused"})");
  EXPECT_EQ(error_body(ErrorCode::SpoolerError, "\"x\""), R"({"code":"spooler_error","error":"\"x\""})");
}

}  // namespace
}  // namespace zunel
