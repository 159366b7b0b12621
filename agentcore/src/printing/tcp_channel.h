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
#include "printing/tcp_network.h"

namespace zunel {

// Each send call may stay blocked this long before the job fails.
inline constexpr std::chrono::milliseconds TCP_SEND_TIMEOUT{5000};
// The most one send call offers. A blocking send on Windows returns only once
// all it was given is buffered, so a large job in one call would fail against
// a printer that reads slowly but steadily; in 16 KiB pieces any printer that
// takes 3.3 KiB/s or more is never timed out, on every platform.
inline constexpr std::size_t TCP_SEND_PIECE = 16 * 1024;
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

// Sets the send time-out and sends all of `bytes` on a connection from
// open_tcp(), in pieces of at most TCP_SEND_PIECE, at TCP_PACE_FLOOR's pace
// at least (job_pace.h). Errors as send_tcp's.
[[nodiscard]] Status send_tcp_job(TcpConnection& connection, std::span<const std::uint8_t> bytes,
                                  const MonotonicClock& clock = system_monotonic_clock());

// Resolves host:port, tries the addresses in turn (the first that connects
// is used; if all fail, the last error is the result), sets the send
// time-out and sends all the bytes. An empty job connects, sends nothing and
// succeeds. Errors: "could not resolve to any addresses", "failed to write
// whole buffer" (a send took 0 bytes), PRINTER_TOO_SLOW, or the system's text.
[[nodiscard]] Status send_tcp(TcpNetwork& network, const std::string& host, std::uint16_t port,
                              std::span<const std::uint8_t> bytes,
                              std::chrono::milliseconds connect_timeout = TCP_CONNECT_TIMEOUT);

}  // namespace zunel
