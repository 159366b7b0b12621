#pragma once
// One step of a loopback client (connect, write, read) bounded in time,
// without a timer: no timer thread on Windows.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>

namespace zunel {

// Runs the work pending on `io` (restarted first) until it is done or
// `limit` has passed. Work still pending then is ended by closing `socket`,
// its handlers run with an error, and the answer is true: the step was late.
bool run_within(boost::asio::io_context& io, boost::asio::ip::tcp::socket& socket,
                std::chrono::milliseconds limit);

}  // namespace zunel
