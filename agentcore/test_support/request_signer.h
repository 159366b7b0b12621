#pragma once
// Signs requests as a paired page does, for tests, fuzz targets and
// benchmarks. Computed with libsodium alone, apart from the agent's own
// hashing, so that a fault there cannot sign and check alike.

#include <sodium.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hex.h"

namespace zunel::testing {

// Header names and values, as the server's HeaderList holds them.
using SignedHeaders = std::vector<std::pair<std::string, std::string>>;

// Lower-case hex SHA-256 of `body`.
inline std::string body_digest_hex(std::string_view body) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(body.data()), body.size());
  return to_hex(std::span<const std::uint8_t>(digest, sizeof digest));
}

// Lower-case hex HMAC-SHA-256 over `message`, keyed with `key`'s bytes (of
// any length).
inline std::string hmac_hex(std::span<const std::uint8_t> key, std::string_view message) {
  unsigned char mac[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, key.data(), key.size());
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()), message.size());
  crypto_auth_hmacsha256_final(&state, mac);
  return to_hex(std::span<const std::uint8_t>(mac, sizeof mac));
}

// The four signature headers ("Authorization", "X-Zunel-Timestamp",
// "X-Zunel-Nonce", "X-Zunel-Sign", in that order) of a request signed at
// `timestamp` by the device whose token is `token`, over a body whose
// digest is `body_digest` (body_digest_hex): the digest is taken once for
// many requests over one large body.
inline SignedHeaders signed_headers_for_digest(std::span<const std::uint8_t> token, std::string_view body_digest,
                                            std::string_view nonce, std::uint64_t timestamp) {
  const std::string ts = std::to_string(timestamp);
  const std::string message = ts + "." + std::string(nonce) + "." + std::string(body_digest);
  return {{"Authorization", "Bearer " + to_hex(token)},
          {"X-Zunel-Timestamp", ts},
          {"X-Zunel-Nonce", std::string(nonce)},
          {"X-Zunel-Sign", hmac_hex(token, message)}};
}

// The same over `body` itself.
inline SignedHeaders signed_headers(std::span<const std::uint8_t> token, std::string_view body, std::string_view nonce,
                                 std::uint64_t timestamp) {
  return signed_headers_for_digest(token, body_digest_hex(body), nonce, timestamp);
}

}  // namespace zunel::testing
