// Runs under Wine (and would on Windows): the system's TCP table read for a
// connection of this process.
#include "base/connection_owner.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "base/loopback_listener.h"
#include "test_listeners.h"

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

bool under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(ConnectionOwnerWindows, AConnectionOfThisProcessIsThisSessionsOrOnWineOfNoProcess) {
  asio::io_context io;
  tcp::acceptor listener = open_loopback_listener(io, 0).value();
  tcp::socket client(io);
  client.connect(listener.local_endpoint());
  tcp::socket accepted(io);
  listener.accept(accepted);
  const AcceptedConnection connection{
      {accepted.local_endpoint().address().to_v4(), accepted.local_endpoint().port()},
      {accepted.remote_endpoint().address().to_v4(), accepted.remote_endpoint().port()}};

  const ConnectionOwner owner = system_connection_owners().owner_of(connection);
  if (under_wine()) {
    // Wine 8's table names process 0 for every socket: the row is found,
    // its process is not.
    ASSERT_TRUE(std::holds_alternative<UnknownOwner>(owner));
    EXPECT_EQ(std::get<UnknownOwner>(owner).reason, UnknownReason::no_process)
        << std::get<UnknownOwner>(owner).detail;
  } else {
    ASSERT_TRUE(std::holds_alternative<WindowsSession>(owner));
    const auto& session = std::get<WindowsSession>(owner);
    DWORD own_session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own_session));
    EXPECT_EQ(session.process_id, GetCurrentProcessId());
    EXPECT_EQ(session.session_id, own_session);
    EXPECT_FALSE(session.user_sid.empty());
  }

  AcceptedConnection missing = connection;
  missing.remote.port = closed_loopback_port();
  const ConnectionOwner nobody = system_connection_owners().owner_of(missing);
  ASSERT_TRUE(std::holds_alternative<UnknownOwner>(nobody));
  EXPECT_EQ(std::get<UnknownOwner>(nobody).reason, UnknownReason::not_found)
      << std::get<UnknownOwner>(nobody).detail;
}

}  // namespace
}  // namespace zunel
