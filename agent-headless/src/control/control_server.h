#pragma once
// The agent side of the control channel: serves one connection at a time on
// a loopback listener, one request line in, one reply line out, then closes.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "base/outcome.h"

namespace zunel {

class AgentState;

// The server serves one connection at a time, so a local program that
// connects and then stalls would otherwise hold the channel for good.
struct ControlLimits {
  // From accept until the request line (or the end of the stream) is in.
  std::chrono::milliseconds line_timeout{5'000};
  // Longest request line, its line feed not counted.
  std::size_t max_line_bytes = 64 * 1024;
  // For the reply to be taken by the client.
  std::chrono::milliseconds reply_timeout{5'000};
};

// Runs the accept loop on `io` until `io` is stopped. A connection whose line
// is late, too long, not UTF-8 or broken by a read error is closed without a
// reply; accept and write errors are dropped. `acceptor` must belong to `io`.
void serve_control(boost::asio::io_context& io, boost::asio::ip::tcp::acceptor& acceptor,
                   std::string expected_token, std::shared_ptr<AgentState> state,
                   ControlLimits limits = {});

// Serves the control channel on a new detached thread that owns `io`, the
// bound `acceptor` (which must belong to `io`), the token and its share of
// the state, for the life of the process. Fails with the system's text when
// the thread cannot be created.
[[nodiscard]] Status start_control_thread(std::unique_ptr<boost::asio::io_context> io,
                                          boost::asio::ip::tcp::acceptor acceptor,
                                          std::string expected_token,
                                          std::shared_ptr<AgentState> state);

}  // namespace zunel
