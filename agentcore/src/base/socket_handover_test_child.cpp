// The receiving process of socket_handover_win_test.cpp: connects to the
// channel on 127.0.0.1:<port>, takes the socket handed over, reads "ping"
// from it and answers "pong". Exit code 0 when all of that worked.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/socket_handover.h"

int main(int argc, char** argv) {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  if (argc != 2) return 2;
  asio::io_context io;
  tcp::socket channel(io);
  boost::system::error_code ec;
  channel.connect(
      tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(std::atoi(argv[1]))), ec);
  if (ec) return 3;
  auto received = zunel::system_socket_handover().receive(channel.native_handle(), io);
  if (!received) {
    std::fprintf(stderr, "socket_handover_test_child: %s\n", received.error().c_str());
    return 4;
  }
  std::string ping(4, '\0');
  asio::read(*received, asio::buffer(ping), ec);
  if (ec || ping != "ping") return 5;
  asio::write(*received, asio::buffer(std::string("pong")), ec);
  return ec ? 6 : 0;
}
