#include "base/connection_owner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdio>
#include <fstream>

#include "base/connection_tables.h"
#include "base/loopback_listener.h"
#include "test_listeners.h"

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

AcceptedConnection ends_of(const tcp::socket& accepted) {
  const tcp::endpoint local = accepted.local_endpoint();
  const tcp::endpoint remote = accepted.remote_endpoint();
  return {{local.address().to_v4(), local.port()}, {remote.address().to_v4(), remote.port()}};
}

// The same question asked of /proc/net/tcp, or tcp6 for a dual-stack
// client, as where netlink is not available.
ConnectionOwner proc_owner(const AcceptedConnection& connection, bool ipv6 = false) {
  std::ifstream table(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
  return proc_net_tcp_owner(table, ipv6, connection, 65536);
}

// For failure messages: what an unknown owner's system said.
std::string detail(const ConnectionOwner& owner) {
  const auto* unknown = std::get_if<UnknownOwner>(&owner);
  return unknown != nullptr ? unknown->detail : "known";
}

std::optional<UnknownReason> reason(const ConnectionOwner& owner) {
  const auto* unknown = std::get_if<UnknownOwner>(&owner);
  if (unknown == nullptr) return std::nullopt;
  return unknown->reason;
}

struct Connected {
  asio::io_context io;
  tcp::acceptor listener;
  tcp::socket client;
  tcp::socket accepted;
  explicit Connected(const tcp::endpoint& to)
      : listener(open_loopback_listener(io, 0).value()), client(io), accepted(io) {
    client.open(to.protocol());
    client.connect(tcp::endpoint(to.address(), listener.local_endpoint().port()));
    listener.accept(accepted);
  }
};

TEST(ConnectionOwnerLinux, AConnectionOfThisProcessIsThisUsersAsNetlinkAndProcSeeIt) {
  // An IPv4 client, and a dual-stack one connected to ::ffff:127.0.0.1.
  for (const tcp::endpoint& to : {tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0),
                                  tcp::endpoint(asio::ip::make_address("::ffff:127.0.0.1"), 0)}) {
    Connected c(to);
    const AcceptedConnection connection = ends_of(c.accepted);
    const ConnectionOwner owner = system_connection_owners().owner_of(connection);
    ASSERT_TRUE(std::holds_alternative<PosixUser>(owner)) << to << ": " << detail(owner);
    EXPECT_EQ(std::get<PosixUser>(owner).uid, ::getuid()) << to;
    const ConnectionOwner seen_in_proc = proc_owner(connection, to.address().is_v6());
    ASSERT_TRUE(std::holds_alternative<PosixUser>(seen_in_proc)) << to << ": " << detail(seen_in_proc);
    EXPECT_EQ(std::get<PosixUser>(seen_in_proc).socket_inode, std::get<PosixUser>(owner).socket_inode)
        << to << ": the same socket, the client's";
  }
}

TEST(ConnectionOwnerLinux, AConnectionNobodyHoldsIsUnknown) {
  Connected c(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const AcceptedConnection connection = ends_of(c.accepted);

  AcceptedConnection missing = connection;
  missing.remote.port = closed_loopback_port();
  EXPECT_EQ(reason(system_connection_owners().owner_of(missing)), UnknownReason::not_found);
  EXPECT_EQ(reason(proc_owner(missing)), UnknownReason::not_found);

  // Closed by its process: the kernel still has it (orphaned, then in
  // time-wait, with uid 0), but nobody holds it.
  c.client.close();
  EXPECT_EQ(reason(system_connection_owners().owner_of(connection)), UnknownReason::no_process);
  EXPECT_EQ(reason(proc_owner(connection)), UnknownReason::no_process);
  c.accepted.close();
  EXPECT_EQ(reason(system_connection_owners().owner_of(connection)), UnknownReason::no_process);
}

TEST(ConnectionOwnerLinux, AnotherUsersConnectionIsThatUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  constexpr uid_t NOBODY = 65534;
  asio::io_context io;
  tcp::acceptor listener = open_loopback_listener(io, 0).value();
  const std::uint16_t port = listener.local_endpoint().port();
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // System calls only: the child of a threaded process.
    ::close(ready[0]);
    char done = 'x';
    if (::setgid(NOBODY) == 0 && ::setuid(NOBODY) == 0) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        done = 'c';
        (void)!::write(ready[1], &done, 1);
        char byte;
        while (::read(fd, &byte, 1) > 0) {
        }
        ::_exit(0);
      }
    }
    (void)!::write(ready[1], &done, 1);
    ::_exit(1);
  }
  ::close(ready[1]);
  char done = 0;
  ASSERT_EQ(::read(ready[0], &done, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(done, 'c') << "the child could not connect as nobody";
  tcp::socket accepted(io);
  listener.accept(accepted);

  const ConnectionOwner owner = system_connection_owners().owner_of(ends_of(accepted));
  ASSERT_TRUE(std::holds_alternative<PosixUser>(owner)) << detail(owner);
  EXPECT_EQ(std::get<PosixUser>(owner).uid, NOBODY) << "the other end's user, not this process's";

  accepted.close();  // the child sees the end and exits
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace zunel
