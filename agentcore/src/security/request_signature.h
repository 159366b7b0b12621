#pragma once
// Checks the signature headers of a request from a paired device.
//
// The device names its token in "Authorization: Bearer <64 hex>" and signs
// "<timestamp>.<nonce>.<sha256(body) hex>" with HMAC-SHA-256 keyed by the
// token's bytes ("X-Zunel-Timestamp", "X-Zunel-Nonce", "X-Zunel-Sign").
//
// The check has two halves so that the state lock is held only for what
// needs the state: parse_signature_fields() reads the headers, and the body
// is hashed, without the lock; verify_request() then takes the lock for the
// device lookup, the short HMAC over the signed text, and the nonce.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/outcome.h"
#include "base/sha256.h"
#include "security/agent_state.h"

namespace zunel {

// The values of the four signature headers as the request carries them (the
// first of each name); empty when missing.
struct SignatureHeaders {
  std::string_view authorization;  // "Authorization"
  std::string_view timestamp;      // "X-Zunel-Timestamp"
  std::string_view nonce;          // "X-Zunel-Nonce"
  std::string_view sign;           // "X-Zunel-Sign"
};

enum class RequestVerdict { Accept, Refuse };

// Why a request was refused, in the order the checks meet it.
enum class RequestRefusal {
  MissingHeaders,  // a signature header is missing or malformed
  UnknownDevice,   // no device has this token under the request's origin
  DeviceExpired,   // the provisioned device's expiry has passed
  StaleTimestamp,  // the timestamp is more than TIMESTAMP_SKEW_SECS from now
  BadSignature,    // the signature does not match the request
  NonceReused,     // the nonce was used within NONCE_LIFETIME_SECS
};

inline constexpr std::uint64_t TIMESTAMP_SKEW_SECS = 30;
inline constexpr std::uint64_t NONCE_LIFETIME_SECS = 60;

// The signature headers of one request, read but not yet checked against
// the state. A field that is missing or malformed is empty (nullopt), and
// verify_request() refuses the request.
struct SignatureFields {
  std::optional<std::array<std::uint8_t, 32>> token;  // "Bearer " then 64 hex digits
  std::optional<std::uint64_t> timestamp;             // decimal, one optional "+"
  std::string nonce;                                  // exactly as sent; empty refuses
  std::optional<Sha256Digest> signature;              // 64 hex digits
};

// Pure: touches no state, takes no lock.
[[nodiscard]] SignatureFields parse_signature_fields(const SignatureHeaders& headers);

// The refusal's stable name, as the answer's "reason" and the journal give
// it: "missing_headers", "unknown_device", "device_expired",
// "stale_timestamp", "bad_signature", "nonce_reused".
const char* refusal_reason_name(RequestRefusal reason);

// The device a request was verified for.
struct VerifiedDevice {
  std::string id;
  std::string label;
};

// verify_request(), telling which device sent an accepted request and why
// a refused one was refused.
[[nodiscard]] Outcome<VerifiedDevice, RequestRefusal> verify_device_request(
    AgentState& state, const SignatureFields& fields, std::string_view origin,
    const Sha256Digest& body_digest);

// `origin` is the origin the router accepted; `body_digest` the SHA-256 of
// the raw body (of zero bytes when there is none). Takes the state lock
// itself, only after everything that does not need the state is ready, and
// holds it until the verdict is known. Prints nothing; tells why a request
// was refused through `refusal` when given. An accepted request uses up its
// nonce for 60 s.
[[nodiscard]] RequestVerdict verify_request(AgentState& state, const SignatureFields& fields,
                                            std::string_view origin, const Sha256Digest& body_digest,
                                            RequestRefusal* refusal = nullptr);

}  // namespace zunel
