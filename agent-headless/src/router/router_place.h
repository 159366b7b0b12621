#pragma once
// Where the router listens for its agents, and whether what is found there
// can be trusted to be the router: an agent hands its connections only to
// a socket that no one but the system's administrator could have made.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zunel {

// /run/zunel-print-agent; in a test build (test_hooks_enabled()) the
// directory ZUNEL_TEST_ROUTER_DIR names, when set.
std::filesystem::path router_directory();
// router.sock in it.
std::filesystem::path router_socket_path();

// What the agent saw of a file, without following a link.
struct PlaceFacts {
  std::uint32_t owner = 0;
  std::uint32_t mode = 0;  // permission bits
  bool directory = false;
  bool socket = false;
};

// The uid the router's directory, socket and process must have: 0, except
// in a test build whose ZUNEL_TEST_ROUTER_DIR is set, where it is the
// directory's own owner's (the test's user).
std::uint32_t router_owner_uid();

// Nothing when the router's place checks out: the directory and the
// socket owned by `owner`, the directory a directory writable by nobody
// else (no group or other write bit), the socket a socket, and the process
// at its other end (its peer credentials) running as `owner`. Otherwise
// why not, in Spanish for the agent's error stream.
std::optional<std::string> router_place_refused(const PlaceFacts& directory, const PlaceFacts& socket,
                                                std::uint32_t peer_uid, std::uint32_t owner);

}  // namespace zunel
