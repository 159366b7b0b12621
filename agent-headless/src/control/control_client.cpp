#include "control/control_client.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <exception>

#include "base/os_error.h"
#include "base/timed_step.h"
#include "base/utf8.h"

namespace zunel {

namespace net = boost::asio;
using net::ip::tcp;
using boost::system::error_code;

Outcome<std::string> control_request(std::uint16_t port, std::string_view request,
                                     ClientLimits limits) {
  try {
    net::io_context io;
    tcp::socket socket(io);
    error_code connect_ec;
    socket.async_connect(tcp::endpoint(net::ip::address_v4::loopback(), port),
                         [&](error_code ec) { connect_ec = ec; });
    if (run_within(io, socket, limits.connect_timeout) || connect_ec) return fail(AGENT_UNREACHABLE);

    std::string line(request);
    line += '\n';
    std::string reply;
    std::size_t line_end = 0;
    error_code write_ec;
    error_code read_ec = net::error::would_block;
    net::async_write(socket, net::buffer(line), [&](error_code ec, std::size_t) {
      write_ec = ec;
      if (ec) return;
      net::async_read_until(socket, net::dynamic_buffer(reply, limits.max_reply_bytes), '\n',
                            [&](error_code read, std::size_t n) {
                              read_ec = read;
                              line_end = n;
                            });
    });
    const bool late = run_within(io, socket, limits.reply_timeout);

    if (write_ec || read_ec) {
      if (late) return fail(AGENT_BUSY);
      if (write_ec) return fail(os_error_text(write_ec));
      if (read_ec == net::error::not_found) return fail("respuesta del agente demasiado larga");
      if (read_ec == net::error::eof) return fail(AGENT_CONNECTION_LOST);
      return fail(os_error_text(read_ec));
    }
    reply.resize(line_end - 1);  // the line feed and anything after it
    if (!is_valid_utf8(reply)) return fail("respuesta del agente no válida (no es UTF-8)");
    return reply;
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace zunel
