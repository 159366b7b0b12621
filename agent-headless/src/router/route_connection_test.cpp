#include "router/route_connection.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace zunel {
namespace {

// Owners by the connection's remote port.
class FakeOwners : public ConnectionOwners {
 public:
  std::map<std::uint16_t, ConnectionOwner> by_port;
  ConnectionOwner owner_of(const AcceptedConnection& connection) override {
    auto found = by_port.find(connection.remote.port);
    if (found == by_port.end()) return UnknownOwner{};
    return found->second;
  }
};

class FakeLink : public AgentLink {
 public:
  bool open = true;
  bool takes = true;
  std::vector<NativeSocket> handed;
  bool alive() override { return open; }
  Status hand_over(NativeSocket socket) override {
    if (!takes) return fail("Broken pipe (os error 32)");
    handed.push_back(socket);
    return {};
  }
};

AcceptedConnection from_port(std::uint16_t port) {
  const auto loopback = boost::asio::ip::address_v4::loopback();
  return {{loopback, 47631}, {loopback, port}};
}

struct Router {
  FakeOwners owners;
  AgentRegistry agents;
  Routed route(std::uint16_t port, NativeSocket socket) {
    return route_connection(from_port(port), socket, owners, agents);
  }
};

TEST(RouteConnection, EachConnectionReachesOnlyItsOwnUsersAgent) {
  Router router;
  auto ana = std::make_shared<FakeLink>();
  auto bruno = std::make_shared<FakeLink>();
  ASSERT_EQ(router.agents.add(1001, ana), Registration::accepted);
  ASSERT_EQ(router.agents.add(1002, bruno), Registration::accepted);
  router.owners.by_port = {{40001, PosixUser{1001, 1}},
                           {40002, PosixUser{1002, 2}},
                           {40003, PosixUser{1001, 3}},
                           {40004, PosixUser{1003, 4}}};

  EXPECT_EQ(router.route(40001, 11), Routed::handed);
  EXPECT_EQ(router.route(40002, 12), Routed::handed);
  EXPECT_EQ(router.route(40003, 13), Routed::handed);
  EXPECT_EQ(router.route(40004, 14), Routed::no_agent) << "a user without an agent";
  EXPECT_EQ(ana->handed, (std::vector<NativeSocket>{11, 13}));
  EXPECT_EQ(bruno->handed, (std::vector<NativeSocket>{12}));
}

TEST(RouteConnection, AnUnknownOwnerIsHandedToNobody) {
  Router router;
  auto root_agent = std::make_shared<FakeLink>();
  ASSERT_EQ(router.agents.add(0, root_agent), Registration::accepted);
  router.owners.by_port = {{40001, UnknownOwner{UnknownReason::no_process, {}}},
                           {40002, UnknownOwner{UnknownReason::system_error, "EPERM"}},
                           {40003, WindowsSession{0, {}, 0}}};
  EXPECT_EQ(router.route(40001, 11), Routed::unknown_owner);
  EXPECT_EQ(router.route(40002, 12), Routed::unknown_owner);
  EXPECT_EQ(router.route(40003, 13), Routed::unknown_owner) << "no user of this system";
  EXPECT_EQ(router.route(40009, 14), Routed::unknown_owner) << "not in the table";
  EXPECT_TRUE(root_agent->handed.empty()) << "uid 0's agent is no default";
}

TEST(RouteConnection, AnAgentThatTakesNothingIsRemovedAndItsConnectionsGoToNobodyElse) {
  Router router;
  auto ana = std::make_shared<FakeLink>();
  auto bruno = std::make_shared<FakeLink>();
  ASSERT_EQ(router.agents.add(1001, ana), Registration::accepted);
  ASSERT_EQ(router.agents.add(1002, bruno), Registration::accepted);
  router.owners.by_port = {{40001, PosixUser{1001, 1}}};
  ana->takes = false;
  EXPECT_EQ(router.route(40001, 11), Routed::agent_gone);
  EXPECT_FALSE(router.agents.registered(1001));
  EXPECT_EQ(router.route(40001, 12), Routed::no_agent);
  EXPECT_TRUE(bruno->handed.empty());
}

TEST(AgentRegistry, OneAgentPerUserWhileItsChannelIsOpen) {
  AgentRegistry agents;
  auto first = std::make_shared<FakeLink>();
  auto second = std::make_shared<FakeLink>();
  auto third = std::make_shared<FakeLink>();
  EXPECT_EQ(agents.add(1001, first), Registration::accepted);
  EXPECT_EQ(agents.add(1001, second), Registration::refused_live);
  EXPECT_EQ(agents.agent_for(PosixUser{1001, 0}), first) << "the refused one replaced nothing";

  first->open = false;
  EXPECT_EQ(agents.add(1001, third), Registration::replaced_closed);
  agents.remove(1001, first.get());
  EXPECT_EQ(agents.agent_for(PosixUser{1001, 0}), third)
      << "the closed agent's late removal leaves its successor";
  agents.remove(1001, third.get());
  EXPECT_EQ(agents.agent_for(PosixUser{1001, 0}), nullptr);
}

}  // namespace
}  // namespace zunel
