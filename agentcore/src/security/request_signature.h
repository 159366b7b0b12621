#pragma once
// Checks the signature headers of a request from a paired device.
//
// The device names its token in "Authorization: Bearer <64 hex>" and signs
// "<timestamp>.<nonce>.<sha256(body) hex>" with HMAC-SHA-256 keyed by the
// token's bytes ("X-Zunel-Timestamp", "X-Zunel-Nonce", "X-Zunel-Sign").

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "security/agent_state.h"

namespace zunel {

using HeaderField = std::pair<std::string_view, std::string_view>;

enum class RequestVerdict { accept, refuse };

inline constexpr std::uint64_t TIMESTAMP_SKEW_SECS = 30;
inline constexpr std::uint64_t NONCE_LIFETIME_SECS = 60;

// `headers` in arrival order (names compared without regard to ASCII case,
// the first occurrence counts); `origin` is the origin the router accepted;
// `body` the raw body (empty when none). Takes the state lock itself and
// holds it until the verdict is known. Prints nothing and says nothing about
// why a request was refused. An accepted request uses up its nonce for 60 s.
[[nodiscard]] RequestVerdict verify_request(AgentState& state, std::span<const HeaderField> headers,
                                            std::string_view origin, std::string_view body);

}  // namespace zunel
