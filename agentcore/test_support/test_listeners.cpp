#include "test_listeners.h"

#include <array>
#include <boost/asio/read.hpp>
#include <memory>

namespace zunel {

namespace asio = boost::asio;
using asio::ip::tcp;

struct LoopbackSink::Connection : std::enable_shared_from_this<Connection> {
  explicit Connection(asio::io_context& io) : socket(io) {}
  tcp::socket socket;
  std::array<std::uint8_t, 65536> chunk{};
  std::vector<std::uint8_t> bytes;
};

LoopbackSink::LoopbackSink() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
  port_ = acceptor_.local_endpoint().port();
  accept_next();
  thread_ = std::thread([this] { io_.run(); });
}

LoopbackSink::~LoopbackSink() {
  io_.stop();
  thread_.join();
}

void LoopbackSink::accept_next() {
  auto connection = std::make_shared<Connection>(io_);
  acceptor_.async_accept(connection->socket, [this, connection](const boost::system::error_code& ec) {
    if (ec) return;
    accept_next();
    read_more(connection);
  });
}

void LoopbackSink::read_more(const std::shared_ptr<Connection>& connection) {
  connection->socket.async_read_some(
      asio::buffer(connection->chunk), [this, connection](const boost::system::error_code& ec, std::size_t n) {
        connection->bytes.insert(connection->bytes.end(), connection->chunk.begin(),
                                 connection->chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (!ec) {
          read_more(connection);
          return;
        }
        std::lock_guard lock(mutex_);
        closed_.push_back(std::move(connection->bytes));
        changed_.notify_all();
      });
}

std::optional<std::vector<std::uint8_t>> LoopbackSink::closed_connection(std::size_t index,
                                                                         std::chrono::seconds timeout) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return closed_.size() > index; })) return std::nullopt;
  return closed_[index];
}

StalledListener::StalledListener() : acceptor_(io_) {
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  acceptor_.open(endpoint.protocol());
  // Inherited by accepted connections: the stall comes after a few kilobytes.
  acceptor_.set_option(asio::socket_base::receive_buffer_size(4096));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
}

std::uint16_t closed_loopback_port() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();  // closed again when `probe` goes
}

}  // namespace zunel
