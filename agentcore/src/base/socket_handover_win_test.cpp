// Runs under Wine (and would on Windows): a socket duplicated for a process
// and made again there, in this process and in a child.
#include "base/socket_handover.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <string>

#include "base/loopback_listener.h"
#include "base/socket_description.h"

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

bool under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// A loopback connection: the client's end, and the end a listener accepted
// as a plain socket, bound to no completion port (socket_description.h).
struct Connection {
  explicit Connection(asio::io_context& io) : client(io) {
    tcp::acceptor listener = open_loopback_listener(io, 0).value();
    client.connect(listener.local_endpoint());
    accepted = ::accept(listener.native_handle(), nullptr, nullptr);
    EXPECT_NE(accepted, INVALID_SOCKET);
  }
  ~Connection() { close_accepted(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  void close_accepted() {
    if (accepted != INVALID_SOCKET) ::closesocket(accepted);
    accepted = INVALID_SOCKET;
  }
  tcp::socket client;
  SOCKET accepted = INVALID_SOCKET;
};

// `text` one way, then `reply` the other.
void exchange(tcp::socket& from, tcp::socket& to, const std::string& text, const std::string& reply) {
  asio::write(from, asio::buffer(text));
  std::string got(text.size(), '\0');
  asio::read(to, asio::buffer(got));
  EXPECT_EQ(got, text);
  asio::write(to, asio::buffer(reply));
  std::string back(reply.size(), '\0');
  asio::read(from, asio::buffer(back));
  EXPECT_EQ(back, reply);
}

TEST(SocketHandoverWindows, ASocketMadeAgainInThisProcessServesTheConnectionThroughAsio) {
  asio::io_context router_io;
  asio::io_context agent_io;
  tcp::acceptor channel_listener = open_loopback_listener(router_io, 0).value();
  tcp::socket channel_out(router_io);
  channel_out.connect(channel_listener.local_endpoint());
  tcp::socket channel_in(router_io);
  channel_listener.accept(channel_in);
  Connection connection(router_io);

  ASSERT_TRUE(system_socket_handover()
                  .send(channel_out.native_handle(), connection.accepted, GetCurrentProcessId())
                  .ok());
  connection.close_accepted();  // the sender's copy
  auto received = system_socket_handover().receive(channel_in.native_handle(), agent_io);
  ASSERT_TRUE(received.ok()) << received.error();
  EXPECT_EQ(received->remote_endpoint(), connection.client.local_endpoint());
  exchange(connection.client, *received, "GET /v1/ping HTTP/1.1\r\n\r\n", "HTTP/1.1 204 No Content\r\n\r\n");

  // A socket Asio accepted is bound to the sender's completion port. Wine 8
  // cannot undo that (FileReplaceCompletionInformation is not implemented
  // there), so the receiver's Asio cannot take it; Windows 8.1 and later can.
  tcp::acceptor listener = open_loopback_listener(router_io, 0).value();
  tcp::socket client(router_io);
  client.connect(listener.local_endpoint());
  tcp::socket bound(router_io);
  listener.accept(bound);
  ASSERT_TRUE(system_socket_handover()
                  .send(channel_out.native_handle(), bound.native_handle(), GetCurrentProcessId())
                  .ok());
  bound.close();
  auto taken = system_socket_handover().receive(channel_in.native_handle(), agent_io);
  if (under_wine()) {
    ASSERT_FALSE(taken.ok());
    EXPECT_NE(taken.error().find("(os error 87)"), std::string::npos)
        << taken.error();  // ERROR_INVALID_PARAMETER
  } else {
    ASSERT_TRUE(taken.ok()) << taken.error();
    exchange(client, *taken, "ping", "pong");
  }
}

TEST(SocketHandoverWindows, MakesASocketOnlyFromTheWholeDescriptionOfATcpConnection) {
  asio::io_context io;
  EXPECT_FALSE(socket_from_description({}, io).ok());
  Connection connection(io);
  const auto description = describe_socket_for(connection.accepted, GetCurrentProcessId());
  ASSERT_TRUE(description.ok()) << description.error();
  EXPECT_EQ(description->size(), sizeof(WSAPROTOCOL_INFOW));
  EXPECT_FALSE(socket_from_description(std::span(*description).first(description->size() - 1), io).ok());
  auto made = socket_from_description(*description, io);
  ASSERT_TRUE(made.ok()) << made.error();
  exchange(connection.client, *made, "ping", "pong");

  asio::ip::udp::socket udp(io, asio::ip::udp::v4());
  const auto datagrams = describe_socket_for(static_cast<SOCKET>(udp.native_handle()), GetCurrentProcessId());
  ASSERT_TRUE(datagrams.ok()) << datagrams.error();
  EXPECT_FALSE(socket_from_description(*datagrams, io).ok());
}

// The child (socket_handover_test_child.exe, beside this one) connects to
// the channel's port, takes the socket, reads "ping" from it and answers
// "pong".
TEST(SocketHandoverWindows, AnotherProcessServesTheConnection) {
  wchar_t own[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
  const std::filesystem::path child_exe =
      std::filesystem::path(own).parent_path() / "socket_handover_test_child.exe";
  asio::io_context io;
  tcp::acceptor channel_listener = open_loopback_listener(io, 0).value();
  std::wstring command =
      L"\"" + child_exe.wstring() + L"\" " + std::to_wstring(channel_listener.local_endpoint().port());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(child_exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &child))
      << GetLastError();
  CloseHandle(child.hThread);
  tcp::socket channel(io);
  channel_listener.accept(channel);

  Connection connection(io);
  ASSERT_TRUE(
      system_socket_handover().send(channel.native_handle(), connection.accepted, child.dwProcessId).ok());
  connection.close_accepted();
  asio::write(connection.client, asio::buffer(std::string("ping")));
  std::string answer(4, '\0');
  asio::read(connection.client, asio::buffer(answer));
  EXPECT_EQ(answer, "pong");

  EXPECT_EQ(WaitForSingleObject(child.hProcess, 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(child.hProcess);
}

}  // namespace
}  // namespace zunel
