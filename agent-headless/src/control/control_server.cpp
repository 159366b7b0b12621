#include "control/control_server.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cstdint>
#include <exception>
#include <iostream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "base/utf8.h"
#include "control/control_protocol.h"
#include "security/agent_state.h"

namespace zunel {
namespace {

namespace net = boost::asio;
using net::ip::tcp;
using boost::system::error_code;

// Back-off after a failed accept, so a lasting failure (no descriptors left)
// does not spin the thread.
constexpr std::chrono::milliseconds ACCEPT_RETRY_DELAY{100};

// One connection at a time: accept, read the line under a deadline, reply
// under a deadline, close, accept the next. Every step runs on the one
// thread that runs the io_context, so members need no lock.
class ControlServer {
 public:
  ControlServer(tcp::acceptor& acceptor, std::string token, std::shared_ptr<AgentState> state,
                ControlLimits limits)
      : acceptor_(acceptor),
        token_(std::move(token)),
        state_(std::move(state)),
        limits_(limits),
        socket_(acceptor.get_executor()),
        deadline_(acceptor.get_executor()),
        retry_(acceptor.get_executor()) {}

  void accept_next() {
    acceptor_.async_accept(
        [this](error_code ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
  }

 private:
  void on_accept(error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;  // the listener is gone
    if (ec) {
      retry_.expires_after(ACCEPT_RETRY_DELAY);
      retry_.async_wait([this](error_code) { accept_next(); });
      return;
    }
    socket_ = std::move(socket);
    buffer_.clear();
    arm_deadline(limits_.line_timeout);
    // One byte over the limit tells a long line from one that fits exactly.
    net::async_read_until(socket_, net::dynamic_buffer(buffer_, limits_.max_line_bytes + 1), '\n',
                          [this](error_code read_ec, std::size_t n) { on_line(read_ec, n); });
  }

  void on_line(error_code ec, std::size_t n) {
    disarm_deadline();
    std::string_view line;
    if (!ec) {
      line = std::string_view(buffer_).substr(0, n - 1);  // without the line feed
    } else if (ec == net::error::eof && buffer_.size() <= limits_.max_line_bytes) {
      line = buffer_;  // the stream ended without a line feed
    } else {
      return finish();  // late, too long, or a read error: no reply
    }
    if (!is_valid_utf8(line)) return finish();

    try {
      reply_ = control_reply(line, token_, *state_);
      reply_ += '\n';
    } catch (const std::exception&) {
      return finish();
    }
    arm_deadline(limits_.reply_timeout);
    net::async_write(socket_, net::buffer(reply_), [this](error_code, std::size_t) {
      disarm_deadline();
      finish();  // a write error is dropped
    });
  }

  // Closes the connection and goes back to accepting.
  void finish() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
    accept_next();
  }

  // Closing the socket makes the pending read or write fail, whose handler
  // then finishes the connection. The generation keeps a deadline that
  // expired just as its step completed from closing a later connection.
  void arm_deadline(std::chrono::milliseconds after) {
    const std::uint64_t armed = ++generation_;
    deadline_.expires_after(after);
    deadline_.async_wait([this, armed](error_code ec) {
      if (ec || armed != generation_) return;
      error_code ignored;
      socket_.close(ignored);
    });
  }

  void disarm_deadline() {
    ++generation_;
    deadline_.cancel();
  }

  tcp::acceptor& acceptor_;
  const std::string token_;
  const std::shared_ptr<AgentState> state_;
  const ControlLimits limits_;
  tcp::socket socket_;
  net::steady_timer deadline_;
  net::steady_timer retry_;
  std::uint64_t generation_ = 0;
  std::string buffer_;
  std::string reply_;
};

// What the control thread owns. Members are destroyed in reverse order, so
// the acceptor goes before the io_context it belongs to.
struct ControlChannel {
  std::unique_ptr<net::io_context> io;
  tcp::acceptor acceptor;
  std::string token;
  std::shared_ptr<AgentState> state;
};

}  // namespace

void serve_control(net::io_context& io, tcp::acceptor& acceptor, std::string expected_token,
                   std::shared_ptr<AgentState> state, ControlLimits limits) {
  ControlServer server(acceptor, std::move(expected_token), std::move(state), limits);
  server.accept_next();
  try {
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "[control] el canal de control se detuvo: " << e.what() << std::endl;
  }
}

Status start_control_thread(std::unique_ptr<net::io_context> io, tcp::acceptor acceptor,
                            std::string expected_token, std::shared_ptr<AgentState> state) {
  ControlChannel channel{std::move(io), std::move(acceptor), std::move(expected_token),
                         std::move(state)};
  try {
    std::thread([channel = std::move(channel)]() mutable {
      serve_control(*channel.io, channel.acceptor, std::move(channel.token),
                    std::move(channel.state));
    }).detach();
  } catch (const std::system_error& e) {
    return fail(e.what());
  }
  return {};
}

}  // namespace zunel
