#pragma once
// The message an agent sends the router right after it connects to the
// router's socket, and the router's one-byte reply. The message names only
// the agent's version: who the agent runs as is taken by the router from
// the channel itself, never from anything the agent says.
//
// The message: "ZREG", the format's version (1) as a 16-bit little-endian
// number, the length of the version text as one byte, then that text
// (1 to MAX_REGISTERED_VERSION bytes of printable ASCII).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zunel {

inline constexpr std::size_t REGISTRATION_HEAD_SIZE = 7;
inline constexpr std::size_t MAX_REGISTERED_VERSION = 64;
inline constexpr std::size_t MAX_REGISTRATION_SIZE = REGISTRATION_HEAD_SIZE + MAX_REGISTERED_VERSION;

// The message for `version`; nothing when the version is empty, longer than
// MAX_REGISTERED_VERSION or not printable ASCII.
std::optional<std::vector<std::uint8_t>> registration_message(std::string_view version);

// What the bytes received so far make.
struct RegistrationRead {
  enum class State { incomplete, malformed, complete } state = State::incomplete;
  std::string version;   // when complete
  std::size_t size = 0;  // when complete: the message's bytes; anything after them is not its
};

// Reads a message from the first bytes received on the channel. Malformed
// as soon as a byte breaks the form, so a reader never waits for more than
// MAX_REGISTRATION_SIZE bytes.
RegistrationRead read_registration(std::span<const std::uint8_t> received);

// The router's reply, one byte.
enum class RegistrationReply : std::uint8_t {
  accepted = 'A',
  // An agent of the same user is registered and its channel is open.
  already_registered = 'D',
  // The message did not come whole and well-formed in time.
  malformed = 'M',
};

// The reply from its byte; nothing for any other byte.
std::optional<RegistrationReply> registration_reply(std::uint8_t byte);

}  // namespace zunel
