#pragma once
// The agent's side of the router: registering at start, then serving the
// connections the router hands over as its own listeners' would be.
//
// When the router goes away (its channel closes), the agent says so on its
// error stream and tries to register again every 3 s; it does not take the
// ports itself, which are the router's on a machine where an administrator
// installed it.

#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "base/socket_handover.h"

namespace zunel {

struct RouterRegistration {
  enum class State {
    absent,   // no router: the agent listens itself, as always
    refused,  // a router's socket that does not check out, or a router that refused (`why`)
    // The router has an agent of this user already, whose channel is open.
    already_registered,
    registered,  // `channel` carries the handed connections
  } state = State::absent;
  std::string why;
  std::optional<NativeSocket> channel;  // when registered
};

RouterRegistration register_with_router(std::string_view version);

using HandConnection = std::function<void(boost::asio::ip::tcp::socket)>;

// Receives the connections handed over on `channel` for ever, each to
// `http` or `control` by the port the router accepted it on; registers
// again (as `version`) whenever the channel ends.
[[noreturn]] void serve_router_channel(NativeSocket channel, std::string version, HandConnection http,
                                       HandConnection control, std::ostream& err);

}  // namespace zunel
