#pragma once
// The keyset: the Ed25519 keys that tickets and revocation lists are checked
// against, read from the JSON text built into the agent.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zunel {

// A ticket verification key of the built-in keyset.
struct TrustedKey {
  std::string kid;
  std::vector<std::uint8_t> public_key;  // 32 bytes; not checked to be a curve point
};

// Parses the keyset text (a JSON array of {"kid", "pubkey_b64"}, read
// strictly); unusable elements are skipped, an unusable text gives no keys.
std::vector<TrustedKey> parse_keyset(std::string_view keyset_json);

}  // namespace zunel
