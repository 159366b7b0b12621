#pragma once
// The primitives the security code needs from libsodium. Hashing is the
// platform's own (base/sha256.h).

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zunel::crypto {

// Compares every byte whatever the first difference; unequal sizes are unequal.
bool equal_constant_time(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
bool equal_constant_time(std::string_view a, std::string_view b);

// Base64 without padding in the URL-safe alphabet; "=", other characters and
// non-zero unused bits refuse.
std::optional<std::vector<std::uint8_t>> base64url_decode(std::string_view text);
// Standard alphabet with canonical padding.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

// Whether the 32 bytes decompress to a point of the curve (small-order points
// included; those are refused by verify_ed25519).
bool is_ed25519_point(std::span<const std::uint8_t, 32> public_key);
// Strict verification: canonical S, small-order R and public keys refused.
bool verify_ed25519(std::span<const std::uint8_t, 64> signature, std::string_view message,
                    std::span<const std::uint8_t, 32> public_key);

}  // namespace zunel::crypto
