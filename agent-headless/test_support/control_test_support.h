#pragma once
// Loopback helpers for the control channel's tests: a raw client that sends
// any bytes and collects everything until the peer closes, and a scripted
// peer that plays the agent's side of one connection. Both give up after a
// bound so a fault shows as a failed test, not a hung one.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "base/loopback_listener.h"

namespace zunel::testing {

namespace net = boost::asio;
using net::ip::tcp;
using boost::system::error_code;

struct Received {
  std::string bytes;        // everything the peer sent
  bool closed = false;      // the peer closed the connection (else the bound ran out)
  bool operator==(const Received&) const = default;
};

inline void PrintTo(const Received& r, std::ostream* os) {
  *os << (r.closed ? "closed after " : "still open after ") << ::testing::PrintToString(r.bytes);
}

// Connects to 127.0.0.1:`port`, writes `send` (then ends its sending side
// when `end_sending`), and reads until the peer closes or `limit` runs out.
inline Received exchange(std::uint16_t port, std::string_view send, bool end_sending = false,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  net::io_context io;
  tcp::socket socket(io);
  Received result;
  std::string data(send);
  char chunk[4096];
  std::function<void()> read_more = [&] {
    socket.async_read_some(net::buffer(chunk), [&](error_code ec, std::size_t n) {
      result.bytes.append(chunk, n);
      if (ec) {
        result.closed = true;
        return;
      }
      read_more();
    });
  };
  socket.async_connect(tcp::endpoint(net::ip::address_v4::loopback(), port), [&](error_code ec) {
    if (ec) {
      result.closed = true;
      return;
    }
    net::async_write(socket, net::buffer(data), [&](error_code, std::size_t) {
      if (end_sending) {
        error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
      }
    });
    read_more();
  });
  io.run_for(limit);
  return result;
}

// Plays the agent for one connection on its own thread: reads the request
// line, then writes `reply` and closes, or (with `stay_silent`) waits for
// the client to go away.
class ScriptedPeer {
 public:
  ScriptedPeer(std::string reply, bool stay_silent = false)
      : reply_(std::move(reply)), acceptor_(open_loopback_listener(io_, 0).value()) {
    port_ = acceptor_.local_endpoint().port();
    acceptor_.async_accept(socket_, [this, stay_silent](error_code ec) {
      if (ec) return;
      net::async_read_until(socket_, net::dynamic_buffer(request_), '\n',
                            [this, stay_silent](error_code, std::size_t) {
                              if (stay_silent) return wait_for_close();
                              net::async_write(socket_, net::buffer(reply_),
                                               [this](error_code, std::size_t) {
                                                 error_code ignored;
                                                 socket_.shutdown(tcp::socket::shutdown_send, ignored);
                                                 socket_.close(ignored);
                                               });
                            });
    });
    thread_ = std::thread([this] { io_.run_for(std::chrono::seconds(15)); });
  }
  ~ScriptedPeer() { stop(); }

  std::uint16_t port() const { return port_; }
  // What the client sent. Call once the client is done: it stops the peer.
  const std::string& request() {
    stop();
    return request_;
  }

 private:
  void stop() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  void wait_for_close() {
    socket_.async_read_some(net::buffer(sink_), [this](error_code ec, std::size_t) {
      if (!ec) wait_for_close();
    });
  }

  std::string reply_;
  net::io_context io_;
  tcp::acceptor acceptor_;
  tcp::socket socket_{io_};
  std::uint16_t port_ = 0;
  std::string request_;
  char sink_[256];
  std::thread thread_;
};

}  // namespace zunel::testing
