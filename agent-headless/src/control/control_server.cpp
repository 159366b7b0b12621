#include "control/control_server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <exception>
#include <iostream>
#include <list>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "base/socket_handover.h"
#include "base/utf8.h"
#include "control/control_protocol.h"
#include "security/agent_state.h"

namespace zunel {
namespace {

namespace net = boost::asio;
using boost::system::error_code;
using net::ip::tcp;

// Back-off after a failed accept, so a lasting failure (no descriptors left)
// does not spin the thread.
constexpr std::chrono::milliseconds ACCEPT_RETRY_DELAY{100};

// One open control connection. Its handlers hold it alive; the server's list
// holds it while it is open.
struct Connection {
  explicit Connection(tcp::socket s) : socket(std::move(s)), deadline(socket.get_executor()) {}
  tcp::socket socket;
  net::steady_timer deadline;
  std::string buffer;
  std::string reply;
  bool answering = false;   // the line is in; the reply is on its way
  bool stop_after = false;  // the reply accepts a "stop"
  bool closed = false;
  std::list<std::shared_ptr<Connection>>::iterator position;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// Accepts without waiting for earlier connections and reads all their lines
// at once; handles each complete line to the end in its read handler. Every
// step runs on the one thread that runs the io_context, so members need no
// lock and no two commands overlap.
class ControlServer {
 public:
  // Without an acceptor it serves only the connections taken in (take()).
  ControlServer(net::io_context& io, tcp::acceptor* acceptor, std::string token,
                std::shared_ptr<AgentState> state, ControlLimits limits, ControlledAgent agent)
      : io_(io),
        acceptor_(acceptor),
        token_(std::move(token)),
        state_(std::move(state)),
        limits_(limits),
        agent_(std::move(agent)),
        retry_(io) {}

  ~ControlServer() {
    while (!open_.empty()) finish(ConnectionPtr(open_.front()));
  }

  void accept_next() {
    if (acceptor_ == nullptr) return;
    acceptor_->async_accept([this](error_code ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
  }

  // A connection accepted elsewhere, on the thread that runs the server's
  // I/O: served as one its listener accepted.
  void take(tcp::socket socket) {
    auto adopted = adopt_socket(std::move(socket), io_);
    if (adopted) on_accept({}, std::move(*adopted));
  }

 private:
  void on_accept(error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;  // the listener is gone
    if (ec) {
      retry_.expires_after(ACCEPT_RETRY_DELAY);
      retry_.async_wait([this](error_code) { accept_next(); });
      return;
    }
    if (open_.size() >= limits_.max_connections && !make_room()) {
      error_code ignored;
      socket.close(ignored);
      return accept_next();
    }
    auto conn = std::make_shared<Connection>(std::move(socket));
    conn->position = open_.insert(open_.end(), conn);
    arm_deadline(conn, limits_.line_timeout);
    // One byte over the limit tells a long line from one that fits exactly.
    net::async_read_until(conn->socket, net::dynamic_buffer(conn->buffer, limits_.max_line_bytes + 1), '\n',
                          [this, conn](error_code read_ec, std::size_t n) { on_line(conn, read_ec, n); });
    accept_next();
  }

  // Closes the oldest connection still waiting for its line; false when
  // every open connection is being answered.
  bool make_room() {
    for (const ConnectionPtr& conn : open_) {
      if (!conn->answering) {
        finish(ConnectionPtr(conn));
        return true;
      }
    }
    return false;
  }

  void on_line(const ConnectionPtr& conn, error_code ec, std::size_t n) {
    if (conn->closed) return;
    std::string_view line;
    if (!ec) {
      line = std::string_view(conn->buffer).substr(0, n - 1);  // without the line feed
    } else if (ec == net::error::eof && conn->buffer.size() <= limits_.max_line_bytes) {
      line = conn->buffer;  // the stream ended without a line feed
    } else {
      return finish(conn);  // late, too long, or a read error: no reply
    }
    if (!is_valid_utf8(line)) return finish(conn);

    try {
      ControlAnswer answer = control_reply(line, token_, *state_, agent_.executable, agent_.journal);
      conn->reply = std::move(answer.reply);
      conn->reply += '\n';
      conn->stop_after = answer.stop;
    } catch (const std::exception&) {
      return finish(conn);
    }
    conn->answering = true;
    conn->buffer = std::string();  // the line may be long; it is done with
    arm_deadline(conn, limits_.reply_timeout);
    // Errors are dropped. The stop begins once the client has its reply (or
    // could not take it): the agent may end right after.
    net::async_write(conn->socket, net::buffer(conn->reply), [this, conn](error_code, std::size_t) {
      finish(conn);
      if (conn->stop_after && agent_.stop) agent_.stop();
    });
  }

  // Closes the connection once; later handlers of it find it closed.
  void finish(const ConnectionPtr& conn) {
    if (conn->closed) return;
    conn->closed = true;
    error_code ignored;
    conn->deadline.cancel();
    conn->socket.shutdown(tcp::socket::shutdown_send, ignored);
    conn->socket.close(ignored);
    open_.erase(conn->position);
  }

  // Closing the socket makes the pending read or write fail, whose handler
  // finds the connection closed. The phase keeps the line's deadline, if it
  // expired just as the line came in, from cutting the reply short.
  void arm_deadline(const ConnectionPtr& conn, std::chrono::milliseconds after) {
    const bool answering = conn->answering;
    conn->deadline.expires_after(after);
    conn->deadline.async_wait([this, conn, answering](error_code ec) {
      if (ec || conn->answering != answering) return;
      finish(conn);
    });
  }

  net::io_context& io_;
  tcp::acceptor* acceptor_;
  const std::string token_;
  const std::shared_ptr<AgentState> state_;
  const ControlLimits limits_;
  const ControlledAgent agent_;
  net::steady_timer retry_;
  std::list<ConnectionPtr> open_;  // in the order they were accepted
};

// What the control thread owns. Members are destroyed in reverse order, so
// the acceptor goes before the io_context it belongs to.
struct ControlChannel {
  std::unique_ptr<net::io_context> io;
  tcp::acceptor acceptor;
  std::string token;
  std::shared_ptr<AgentState> state;
  ControlledAgent agent;
};

}  // namespace

void serve_control(net::io_context& io, tcp::acceptor& acceptor, std::string expected_token,
                   std::shared_ptr<AgentState> state, ControlLimits limits, ControlledAgent agent) {
  ControlServer server(io, &acceptor, std::move(expected_token), std::move(state), limits, std::move(agent));
  server.accept_next();
  try {
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "[control] el canal de control se detuvo: " << e.what() << std::endl;
  }
}

Status start_control_thread(std::unique_ptr<net::io_context> io, tcp::acceptor acceptor,
                            std::string expected_token, std::shared_ptr<AgentState> state,
                            ControlledAgent agent) {
  ControlChannel channel{std::move(io), std::move(acceptor), std::move(expected_token), std::move(state),
                         std::move(agent)};
  try {
    std::thread([channel = std::move(channel)]() mutable {
      serve_control(*channel.io, channel.acceptor, std::move(channel.token), std::move(channel.state), {},
                    std::move(channel.agent));
    }).detach();
  } catch (const std::system_error& e) {
    return fail(e.what());
  }
  return {};
}

Outcome<HandControl> start_handed_control_thread(std::string expected_token,
                                                 std::shared_ptr<AgentState> state, ControlledAgent agent) {
  struct Handed {
    net::io_context io{1};
    net::executor_work_guard<net::io_context::executor_type> busy{io.get_executor()};
    std::optional<ControlServer> server;
  };
  // Lives as long as the process, like the thread that runs it.
  auto* handed = new Handed;
  handed->server.emplace(handed->io, nullptr, std::move(expected_token), std::move(state), ControlLimits{},
                         std::move(agent));
  try {
    std::thread([handed] {
      try {
        handed->io.run();
      } catch (const std::exception& e) {
        std::cerr << "[control] el canal de control se detuvo: " << e.what() << std::endl;
      }
    }).detach();
  } catch (const std::system_error& e) {
    return fail(e.what());
  }
  return HandControl{handed->io, [handed](tcp::socket socket) {
                       net::post(handed->io,
                                 [handed, moved = std::make_shared<tcp::socket>(std::move(socket))] {
                                   handed->server->take(std::move(*moved));
                                 });
                     }};
}

}  // namespace zunel
