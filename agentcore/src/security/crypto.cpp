#include "security/crypto.h"

#include <sodium.h>

#include <cstdlib>

namespace zunel::crypto {
namespace {

// sodium_init is thread-safe and idempotent; it fails only when the system
// has no random source, which the agent cannot run without.
void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) std::abort();
}

std::optional<std::vector<std::uint8_t>> base64_decode_variant(std::string_view text, int variant) {
  // libsodium 1.0.18 reads some bytes over 0x7f as letters of the alphabet
  // ("G0B\xc6\xbcg==" decodes): only ASCII reaches it.
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > 0x7f) return std::nullopt;
  }
  ensure_sodium();
  std::vector<std::uint8_t> out(text.size() / 4 * 3 + 3);
  std::size_t len = 0;
  // A null end pointer makes libsodium refuse any stray character instead of
  // stopping there and succeeding.
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &len, nullptr,
                        variant) != 0) {
    return std::nullopt;
  }
  out.resize(len);
  return out;
}

}  // namespace

bool equal_constant_time(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  ensure_sodium();
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool equal_constant_time(std::string_view a, std::string_view b) {
  return equal_constant_time(std::span(reinterpret_cast<const std::uint8_t*>(a.data()), a.size()),
                             std::span(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
}

std::optional<std::vector<std::uint8_t>> base64url_decode(std::string_view text) {
  return base64_decode_variant(text, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  return base64_decode_variant(text, sodium_base64_VARIANT_ORIGINAL);
}

bool is_ed25519_point(std::span<const std::uint8_t, 32> public_key) {
  ensure_sodium();
  // The base point in its compressed form.
  static constexpr unsigned char base_point[32] = {
      0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
      0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
  // Addition decompresses its operands and fails only when one is not a
  // point; is_valid_point would also refuse small-order points.
  unsigned char sum[32];
  return crypto_core_ed25519_add(sum, public_key.data(), base_point) == 0;
}

bool verify_ed25519(std::span<const std::uint8_t, 64> signature, std::string_view message,
                    std::span<const std::uint8_t, 32> public_key) {
  ensure_sodium();
  return crypto_sign_verify_detached(signature.data(),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), public_key.data()) == 0;
}

}  // namespace zunel::crypto
