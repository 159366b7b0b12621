#pragma once
// The router's socket and the channels between the router and its agents:
// Unix stream sockets and their peers' credentials on POSIX. Windows has
// none yet: every call there fails with "no disponible en Windows todavía"
// (and an agent finds no router). One file per OS.

#include <cstdint>
#include <optional>
#include <string>

#include "base/outcome.h"
#include "base/socket_handover.h"

namespace zunel {

// The agent's side: its channel to the router, when there is one it trusts.
struct RouterFound {
  enum class State {
    absent,     // no router.sock: the agent listens itself, as without a router
    refused,    // something is there that is not the router's (`why`)
    connected,  // `channel` is the agent's end; the caller closes it
  } state = State::absent;
  std::string why;
  std::optional<NativeSocket> channel;  // when connected
};
RouterFound connect_to_router();

// The router's side: makes its directory (0755, the router's own) and
// router.sock in it (0666, any user may connect), replacing an old socket
// file, and listens on it. Blocking; the caller closes it.
[[nodiscard]] Outcome<NativeSocket> open_router_socket();

// Accepts the next agent on the router's socket (blocking).
[[nodiscard]] Outcome<NativeSocket> accept_agent(NativeSocket router_socket);

// The uid of the process at the other end of `channel`, as the system saw
// it when the channel was made.
[[nodiscard]] Outcome<std::uint32_t> channel_peer_uid(NativeSocket channel);

// Whether the other end of `channel` is still open; reads nothing.
bool channel_open(NativeSocket channel);

// Waits up to `timeout_ms` for bytes on `channel`, then reads what there is
// into `buffer` (up to `size`); 0 at the end of the stream. Fails on a time-out.
[[nodiscard]] Outcome<std::size_t> read_channel(NativeSocket channel, void* buffer, std::size_t size,
                                                int timeout_ms);
[[nodiscard]] Status write_channel(NativeSocket channel, const void* data, std::size_t size);

// Makes writes to `channel` fail at once rather than wait when its peer
// has stopped reading (the router's end of an agent's channel: a hung agent
// must not hold the router).
[[nodiscard]] Status make_channel_nonblocking(NativeSocket channel);

void close_channel(NativeSocket channel);

}  // namespace zunel
