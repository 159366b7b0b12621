#include "printing/tcp_channel.h"

#include <memory>
#include <optional>

#include "printing/job_pace.h"
#include "printing/write_all.h"

namespace zunel {

Outcome<std::unique_ptr<TcpConnection>> open_tcp(TcpNetwork& network, const std::string& host, std::uint16_t port,
                                                 std::chrono::milliseconds connect_timeout) {
  auto addresses = network.resolve(host, port);
  if (!addresses) return fail(addresses.error());
  if (addresses->empty()) return fail("could not resolve to any addresses");

  std::optional<Error> last_error;
  for (const TcpAddress& address : *addresses) {
    auto attempt = network.connect(address, connect_timeout);
    if (attempt) return std::move(*attempt);
    last_error = fail(attempt.error());
  }
  return *last_error;
}

Status send_tcp_job(TcpConnection& connection, std::span<const std::uint8_t> bytes, const MonotonicClock& clock,
                    PaceFloor floor) {
  JobPace pace(floor, clock);
  return write_all(
      bytes,
      [&](const std::uint8_t* data, std::size_t size, std::chrono::milliseconds wait) {
        return connection.send_some(data, size, wait);
      },
      clock, WriteLimits{.max_piece = TCP_SEND_PIECE},
      [&](std::size_t taken) -> Status {
        if (!pace.keeps_up(taken)) return fail(PRINTER_TOO_SLOW);
        return {};
      });
}

Status send_tcp(TcpNetwork& network, const std::string& host, std::uint16_t port,
                std::span<const std::uint8_t> bytes, std::chrono::milliseconds connect_timeout) {
  auto connection = open_tcp(network, host, port, connect_timeout);
  if (!connection) return fail(connection.error());
  return send_tcp_job(**connection, bytes);
}

}  // namespace zunel
