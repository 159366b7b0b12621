#pragma once
// The agent side of the control channel on a loopback listener: one request
// line in, one reply line out, then the connection is closed.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/outcome.h"

namespace zunel {

class AgentState;
class Journal;

// Bounds that keep local programs which connect and then stall from
// holding the channel or the agent's memory.
struct ControlLimits {
  // From accept until the request line (or the end of the stream) is in.
  std::chrono::milliseconds line_timeout{1'000};
  // Longest request line, its line feed not counted.
  std::size_t max_line_bytes = 64 * 1024;
  // For the reply to be taken by the client.
  std::chrono::milliseconds reply_timeout{5'000};
  // Connections open at once. When all are taken, a new connection closes
  // the oldest one still waiting for its line; when none is waiting (all are
  // being answered), the new one is closed instead.
  std::size_t max_connections = 32;
};

// The agent behind the channel: what it tells of itself, and how it stops.
struct ControlledAgent {
  std::string executable;     // its executable file, for "info"; empty when unknown
  std::function<void()> stop;  // begins its stop, once a "stop" reply is written
  Journal* journal = nullptr;  // where "pair" and "revoke" are written; none when null
};

// Runs the accept loop on `io` until `io` is stopped. Lines are read from
// every open connection at once, but each complete line is handled to the
// end (under the state lock, on the thread that runs `io`) before the next,
// so a command runs while its client still waits and commands never
// overlap. A connection whose line is late, too long, not UTF-8 or broken by
// a read error is closed without a reply; accept and write errors are
// dropped. `acceptor` must belong to `io`, which must be run by one thread.
void serve_control(boost::asio::io_context& io, boost::asio::ip::tcp::acceptor& acceptor,
                   std::string expected_token, std::shared_ptr<AgentState> state,
                   ControlLimits limits = {}, ControlledAgent agent = {});

// Serves the control channel on a new detached thread that owns `io`, the
// bound `acceptor` (which must belong to `io`), the token and its share of
// the state, for the life of the process. Fails with the system's text when
// the thread cannot be created.
[[nodiscard]] Status start_control_thread(std::unique_ptr<boost::asio::io_context> io,
                                          boost::asio::ip::tcp::acceptor acceptor,
                                          std::string expected_token,
                                          std::shared_ptr<AgentState> state,
                                          ControlledAgent agent);

// Where connections accepted elsewhere (handed over by the router) go: each
// is served on the control thread as one accepted there; `take` is
// callable from any thread. Sockets are best made in `io` (see
// HttpServer::serve_handed).
struct HandControl {
  boost::asio::io_context& io;
  std::function<void(boost::asio::ip::tcp::socket)> take;
};

// Serves the control channel without a listener of its own, on a new
// detached thread that lives as long as the process, for the connections
// given to the function it returns. Fails with the system's text when the
// thread cannot be created.
[[nodiscard]] Outcome<HandControl> start_handed_control_thread(std::string expected_token,
                                                               std::shared_ptr<AgentState> state,
                                                               ControlledAgent agent);

}  // namespace zunel
