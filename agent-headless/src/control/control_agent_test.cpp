#include "control/control_agent.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

// This user's agent, as its "info" reply names it.
AgentIdentity identified_by(const std::string& reply) {
  const ControlLink link{std::string(64, 'a'), [reply](const std::string&) -> Outcome<std::string> { return reply; },
                         [] { return true; }, [](std::chrono::milliseconds) {}};
  return identify_agent(link);
}

TEST(IdentifyAgent, NamesTheVersionBuildAndFileThisUsersAgentReports) {
  const struct {
    const char* name;
    std::string reply;
    std::string version, build, executable;
  } cases[] = {
      {"this build", R"({"ok":true,"info":{"id":"a","version":"1.0.1","build":"2026-12-10.78f8fe6c1a2b",)"
                     R"("devices":[],"pairing_code":null,"executable":"C:\\Zunel\\zunel-print-agent.exe"}})",
       "1.0.1", "2026-12-10.78f8fe6c1a2b", "C:\\Zunel\\zunel-print-agent.exe"},
      {"an older agent, without a build", R"({"ok":true,"info":{"version":"1.0.1","executable":null}})", "1.0.1", "",
       ""},
      {"a build that is not a text", R"({"ok":true,"info":{"version":"1.0.1","build":7}})", "1.0.1", "", ""},
  };
  for (const auto& c : cases) {
    const AgentIdentity identity = identified_by(c.reply);
    EXPECT_EQ(identity.owner, AgentOwner::ThisUser) << c.name;
    EXPECT_EQ(identity.version, c.version) << c.name;
    EXPECT_EQ(identity.build, c.build) << c.name;
    EXPECT_EQ(identity.executable, c.executable) << c.name;
  }
}

}  // namespace
}  // namespace zunel
