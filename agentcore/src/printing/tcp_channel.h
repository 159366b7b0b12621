#pragma once
// Raw TCP output: one connection per job, the bytes as they are, then close.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/outcome.h"
#include "printing/job_pace.h"
#include "printing/tcp_network.h"

namespace zunel {

// The most one send call offers: sends never block (tcp_network.h), so
// this only bounds what one call hands the system at once.
inline constexpr std::size_t TCP_SEND_PIECE = 64 * 1024;
// Each connection attempt (each address) gives up after this long with the
// system's time-out error. A printer on the shop's network answers a connect
// in milliseconds; without the bound a dead one would hold its jobs until
// the system gives up (about 21 s on Windows, minutes on Linux).
inline constexpr std::chrono::milliseconds TCP_CONNECT_TIMEOUT{5000};

// Resolves host:port and tries the addresses in turn, each within
// `connect_timeout`: the first that connects, or the last error. Errors as
// send_tcp's.
[[nodiscard]] Outcome<std::unique_ptr<TcpConnection>> open_tcp(TcpNetwork& network, const std::string& host,
                                                               std::uint16_t port,
                                                               std::chrono::milliseconds connect_timeout);

// Sends all of `bytes` on a connection from open_tcp(), in pieces of at
// most TCP_SEND_PIECE, failing when the printer takes no byte for
// JOB_STALL_LIMIT by `clock` (write_all.h) or falls below `floor`
// (job_pace.h). Errors as send_tcp's.
[[nodiscard]] Status send_tcp_job(TcpConnection& connection, std::span<const std::uint8_t> bytes,
                                  const MonotonicClock& clock = system_monotonic_clock(),
                                  PaceFloor floor = TCP_PACE_FLOOR);

// Resolves host:port, tries the addresses in turn (the first that connects
// is used; if all fail, the last error is the result) and sends all the
// bytes. An empty job connects, sends nothing and succeeds. Errors: "could
// not resolve to any addresses", PRINTER_STOPPED_READING, PRINTER_TOO_SLOW,
// or the system's text.
[[nodiscard]] Status send_tcp(TcpNetwork& network, const std::string& host, std::uint16_t port,
                              std::span<const std::uint8_t> bytes,
                              std::chrono::milliseconds connect_timeout = TCP_CONNECT_TIMEOUT);

}  // namespace zunel
