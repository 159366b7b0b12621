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

Status send_tcp_job(TcpConnection& connection, std::span<const std::uint8_t> bytes, const MonotonicClock& clock) {
  if (auto set = connection.set_send_timeout(TCP_SEND_TIMEOUT); !set) return fail(set.error());
  JobPace pace(TCP_PACE_FLOOR, clock);
  return write_all(
      bytes,
      [&](const std::uint8_t* data, std::size_t size) -> Outcome<std::size_t> {
        auto sent = connection.send_some(data, size);
        if (sent && *sent > 0 && !pace.keeps_up(*sent)) return fail(PRINTER_TOO_SLOW);
        return sent;
      },
      TCP_SEND_PIECE);
}

Status send_tcp(TcpNetwork& network, const std::string& host, std::uint16_t port,
                std::span<const std::uint8_t> bytes, std::chrono::milliseconds connect_timeout) {
  auto connection = open_tcp(network, host, port, connect_timeout);
  if (!connection) return fail(connection.error());
  return send_tcp_job(**connection, bytes);
}

}  // namespace zunel
