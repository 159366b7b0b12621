#pragma once
// Loopback TCP listeners for tests of the raw TCP channel.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace zunel {

// Accepts connections on 127.0.0.1 and keeps, for each, every byte it sent
// until it closed.
class LoopbackSink {
 public:
  LoopbackSink();
  ~LoopbackSink();
  LoopbackSink(const LoopbackSink&) = delete;
  LoopbackSink& operator=(const LoopbackSink&) = delete;

  std::uint16_t port() const { return port_; }
  // The bytes of the `index`-th connection to close, once it has closed;
  // nothing if that takes longer than `timeout`.
  std::optional<std::vector<std::uint8_t>> closed_connection(std::size_t index, std::chrono::seconds timeout);

 private:
  struct Connection;
  void accept_next();
  void read_more(const std::shared_ptr<Connection>& connection);

  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<std::uint8_t>> closed_;
  std::thread thread_;
};

// A listener on 127.0.0.1 that never accepts or reads: connections complete
// in the kernel and then fill its small receive buffer.
class StalledListener {
 public:
  StalledListener();
  std::uint16_t port() const { return port_; }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
};

// A loopback port on which nothing listens, so connecting is refused.
std::uint16_t closed_loopback_port();

}  // namespace zunel
