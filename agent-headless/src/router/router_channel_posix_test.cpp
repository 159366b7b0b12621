#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/build_config.h"
#include "router/router_channel.h"
#include "router/router_place.h"
#include "temp_dir.h"

namespace zunel {
namespace {

class ScopedRouterDir {
 public:
  explicit ScopedRouterDir(const std::filesystem::path& dir) {
    ::setenv("ZUNEL_TEST_ROUTER_DIR", dir.c_str(), 1);
  }
  ~ScopedRouterDir() { ::unsetenv("ZUNEL_TEST_ROUTER_DIR"); }
};

TEST(RouterChannel, AnAgentConnectsToTheRoutersSocketOnlyWhileItChecksOut) {
  if (!test_hooks_enabled()) GTEST_SKIP() << "the router's directory is moved only in a test build";
  testing::TempDir temp;
  const auto dir = temp.path() / "router";
  ScopedRouterDir moved(dir);
  EXPECT_EQ(connect_to_router().state, RouterFound::State::absent) << "no router: the agent listens itself";

  auto listener = open_router_socket();
  ASSERT_TRUE(listener.ok()) << listener.error();
  struct stat st {};
  ASSERT_EQ(::stat(router_socket_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  auto found = connect_to_router();
  ASSERT_EQ(found.state, RouterFound::State::connected) << found.why;
  auto agent = accept_agent(*listener);
  ASSERT_TRUE(agent.ok()) << agent.error();
  auto uid = channel_peer_uid(*agent);
  ASSERT_TRUE(uid.ok()) << uid.error();
  EXPECT_EQ(*uid, ::geteuid()) << "the agent's user, from the channel";
  EXPECT_TRUE(channel_open(*agent));
  close_channel(*found.channel);
  EXPECT_FALSE(channel_open(*agent)) << "the agent's end closed";
  close_channel(*agent);

  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  const auto writable = connect_to_router();
  EXPECT_EQ(writable.state, RouterFound::State::refused);
  EXPECT_EQ(writable.why, "otros usuarios pueden escribir en el directorio");
  close_channel(*listener);
}

}  // namespace
}  // namespace zunel
