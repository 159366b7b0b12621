#pragma once
// Shared by the tests of the state and its users: a state in a temporary
// directory on a fake clock and scripted random bytes, and the test signing
// key with the tickets it signs.

#include <sodium.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "fake_clock.h"
#include "scripted_random.h"
#include "security/agent_state.h"
#include "security/pairing_store.h"
#include "temp_dir.h"

namespace zunel::testing {

// The test signing key: derived from a fixed seed so tickets are reproducible.
struct TestSigningKey {
  std::array<unsigned char, 32> public_key{};
  std::array<unsigned char, 64> secret_key{};
  TestSigningKey() {
    if (sodium_init() < 0) std::abort();
    std::array<unsigned char, 32> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<unsigned char>(0xA0 + i);
    crypto_sign_seed_keypair(public_key.data(), secret_key.data(), seed.data());
  }
};

inline std::string base64(const unsigned char* data, std::size_t n, int variant) {
  std::string out(sodium_base64_encoded_len(n, variant), '\0');
  sodium_bin2base64(out.data(), out.size(), data, n, variant);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}
inline std::string base64url(std::string_view s) {
  return base64(reinterpret_cast<const unsigned char*>(s.data()), s.size(),
                sodium_base64_VARIANT_URLSAFE_NO_PADDING);
}

inline constexpr const char* TEST_KID = "7e57c0de";

inline std::string test_keyset_json() {
  static const TestSigningKey key;
  return "[\r\n  {\r\n    \"kid\": \"" + std::string(TEST_KID) + "\",\r\n    \"pubkey_b64\": \"" +
         base64(key.public_key.data(), 32, sodium_base64_VARIANT_ORIGINAL) + "\"\r\n  }\r\n]\r\n";
}

// A compact JWS over the given header and payload JSON texts, signed with the
// test key.
inline std::string sign_jws(std::string_view header_json, std::string_view payload_json) {
  static const TestSigningKey key;
  const std::string input = base64url(header_json) + "." + base64url(payload_json);
  unsigned char sig[64];
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                       key.secret_key.data());
  return input + "." + base64(sig, sizeof sig, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
}

// A state loaded from a temporary directory with a fake clock, scripted
// random bytes and captured diagnostics.
struct StateFixture {
  TempDir dir;
  FakeClock clock{1'700'000'000};
  ScriptedRandom random;
  std::ostringstream diagnostics;
  std::unique_ptr<AgentState> state;

  std::filesystem::path file() const { return dir.path() / "pairings.json"; }

  // Loads (again) from the directory; returns false when load_state failed.
  bool load() {
    state.reset();
    auto loaded = load_state(dir.path(), "1.0.1", StateServices{clock, random, diagnostics}, test_keyset_json());
    if (!loaded) return false;
    state = std::move(*loaded);
    return true;
  }
  LockedState locked() { return state->lock(); }
};

}  // namespace zunel::testing
