#include "base/socket_handover.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "base/loopback_listener.h"
#include "base/unique_fd_posix.h"

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// The channel: a Unix stream socket pair.
struct Channel {
  Channel() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    sender = UniqueFd(fds[0]);
    receiver = UniqueFd(fds[1]);
  }
  UniqueFd sender;
  UniqueFd receiver;
};

// A loopback connection: the browser's end and the end a listener accepted.
struct Connection {
  explicit Connection(asio::io_context& io) : client(io), accepted(io) {
    tcp::acceptor listener = open_loopback_listener(io, 0).value();
    client.connect(listener.local_endpoint());
    listener.accept(accepted);
  }
  tcp::socket client;
  tcp::socket accepted;
};

TEST(SocketHandover, TheReceiverServesTheAcceptedConnectionThroughItsAsioSocket) {
  asio::io_context router_io;
  asio::io_context agent_io;
  Channel channel;
  Connection connection(router_io);
  const tcp::endpoint local = connection.accepted.local_endpoint();
  const tcp::endpoint remote = connection.accepted.remote_endpoint();

  ASSERT_TRUE(
      system_socket_handover().send(channel.sender.get(), connection.accepted.native_handle(), 0).ok());
  connection.accepted.close();  // the sender's copy
  auto received = system_socket_handover().receive(channel.receiver.get(), agent_io);
  ASSERT_TRUE(received.ok()) << received.error();
  EXPECT_EQ(received->local_endpoint(), local);
  EXPECT_EQ(received->remote_endpoint(), remote);
  EXPECT_EQ(::fcntl(received->native_handle(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

  const std::string request = "GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1:47631\r\n\r\n";
  asio::write(connection.client, asio::buffer(request));
  std::string read(request.size(), '\0');
  asio::read(*received, asio::buffer(read));
  EXPECT_EQ(read, request);
  const std::string answer = "HTTP/1.1 204 No Content\r\n\r\n";
  asio::write(*received, asio::buffer(answer));
  // The receiver's is the only copy left: closing it ends the connection.
  received->close();
  std::string got;
  boost::system::error_code ec;
  asio::read(connection.client, asio::dynamic_buffer(got), ec);
  EXPECT_EQ(ec, asio::error::eof);
  EXPECT_EQ(got, answer);
}

// Sends `bytes` with `fds` beside them.
void send_raw(int channel, std::span<const std::uint8_t> bytes, const std::vector<int>& fds) {
  iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  alignas(cmsghdr) std::array<char, CMSG_SPACE(4 * sizeof(int))> control{};
  if (!fds.empty()) {
    message.msg_control = control.data();
    message.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
    std::memcpy(CMSG_DATA(rights), fds.data(), fds.size() * sizeof(int));
  }
  ASSERT_EQ(::sendmsg(channel, &message, 0), static_cast<ssize_t>(bytes.size()));
}

TEST(SocketHandover, RefusesAnythingButOneConnectedTcpSocketAndLeavesNothingOpen) {
  asio::io_context io;
  Channel channel;
  const auto header = handover_header(0);
  auto other_header = header;
  other_header[4] = 2;  // version 2
  const int c = channel.sender.get();
  const struct {
    const char* name;
    std::function<void()> send;
    bool received;
  } cases[] = {
      {"no descriptor", [&] { send_raw(c, header, {}); }, false},
      {"two connected TCP sockets",
       [&] {
         Connection one(io), two(io);
         send_raw(c, header, {one.accepted.native_handle(), two.accepted.native_handle()});
       },
       false},
      {"three descriptors, more than the room for them",
       [&] {
         Connection one(io);
         const int fd = one.accepted.native_handle();
         send_raw(c, header, {fd, fd, fd});
       },
       false},
      {"a pipe",
       [&] {
         int fds[2];
         ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
         const UniqueFd read_end(fds[0]), write_end(fds[1]);
         send_raw(c, header, {read_end.get()});
       },
       false},
      {"a Unix stream socket",
       [&] {
         Channel other;
         send_raw(c, header, {other.sender.get()});
       },
       false},
      {"a TCP listener",
       [&] {
         tcp::acceptor listener = open_loopback_listener(io, 0).value();
         send_raw(c, header, {listener.native_handle()});
       },
       false},
      {"a UDP socket",
       [&] {
         asio::ip::udp::socket udp(io, asio::ip::udp::v4());
         send_raw(c, header, {udp.native_handle()});
       },
       false},
      {"a TCP socket never connected",
       [&] {
         tcp::socket never(io, tcp::v4());
         send_raw(c, header, {never.native_handle()});
       },
       false},
      {"a connected TCP socket behind another header",
       [&] {
         Connection one(io);
         send_raw(c, other_header, {one.accepted.native_handle()});
       },
       false},
      {"a connected TCP socket, the header in two pieces",
       [&] {
         Connection one(io);
         send_raw(c, std::span(header).first(5), {one.accepted.native_handle()});
         send_raw(c, std::span(header).subspan(5), {});
       },
       true},
  };
  const tcp::socket reactor_started(io, tcp::v4());  // Asio's own descriptors, made once
  const std::size_t before = open_descriptors();
  for (const auto& row : cases) {
    row.send();  // what the sender sent is closed on its side
    {
      const auto received = system_socket_handover().receive(channel.receiver.get(), io);
      EXPECT_EQ(received.ok(), row.received) << row.name << ": " << (received ? "" : received.error());
    }
    EXPECT_EQ(open_descriptors(), before) << row.name;
  }
}

}  // namespace
}  // namespace zunel
