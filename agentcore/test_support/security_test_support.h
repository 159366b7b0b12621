#pragma once
// Shared by the security tests: a temporary state directory, a state built
// on a fake clock and scripted random bytes, and a test signing key.

#include <sodium.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/random_source.h"
#include "security/agent_state.h"
#include "security/pairing_store.h"

namespace zunel::testing {

// A fresh directory under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto base = std::filesystem::temp_directory_path();
    path_ = base / ("zunel-sec-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                    std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::filesystem::path& p, std::string_view text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

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

// Scripted random bytes that can also fail one chosen later call (the n-th
// from now, 0 being the next), to reach a failure in the middle of an
// operation.
class TestRandom final : public RandomSource {
 public:
  Status fill(std::span<std::uint8_t> out) override {
    if (countdown_ >= 0 && countdown_-- == 0) return fail(CSPRNG_UNAVAILABLE);
    return scripted_.fill(out);
  }
  void queue(std::vector<std::uint8_t> bytes) { scripted_.queue(std::move(bytes)); }
  void fail_call(int n) { countdown_ = n; }
  void fail_next() { fail_call(0); }

 private:
  ScriptedRandom scripted_;
  int countdown_ = -1;
};

// A state loaded from a temporary directory with a fake clock, scripted
// random bytes and captured diagnostics.
struct StateFixture {
  TempDir dir;
  FakeClock clock{1'700'000'000};
  TestRandom random;
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
