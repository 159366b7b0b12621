#include "router/router_channel.h"
#include "router/router_place.h"

namespace zunel {
namespace {

constexpr const char* NOT_YET = "no disponible en Windows todavía";

}  // namespace

std::uint32_t router_owner_uid() { return 0; }

// No router yet on Windows: the agent listens itself, as it always did.
RouterFound connect_to_router() { return {}; }

Outcome<NativeSocket> open_router_socket() { return fail(NOT_YET); }
Outcome<NativeSocket> accept_agent(NativeSocket) { return fail(NOT_YET); }
Outcome<std::uint32_t> channel_peer_uid(NativeSocket) { return fail(NOT_YET); }
bool channel_open(NativeSocket) { return false; }
Outcome<std::size_t> read_channel(NativeSocket, void*, std::size_t, int) { return fail(NOT_YET); }
Status write_channel(NativeSocket, const void*, std::size_t) { return fail(NOT_YET); }
Status make_channel_nonblocking(NativeSocket) { return fail(NOT_YET); }
void close_channel(NativeSocket) {}

}  // namespace zunel
