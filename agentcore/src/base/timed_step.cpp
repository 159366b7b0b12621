#include "base/timed_step.h"

namespace zunel {

bool run_within(boost::asio::io_context& io, boost::asio::ip::tcp::socket& socket,
                std::chrono::milliseconds limit) {
  io.restart();
  io.run_for(limit);
  if (io.stopped()) return false;
  boost::system::error_code ignored;
  socket.close(ignored);
  io.restart();
  io.run();
  return true;
}

}  // namespace zunel
