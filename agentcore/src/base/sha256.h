#pragma once
// SHA-256 (FIPS 180-4) and HMAC-SHA-256 (RFC 2104) from the platform's own
// code, which uses the CPU's SHA extensions where it has them: OpenSSL's
// libcrypto on POSIX, CNG (bcrypt) on Windows. One file per OS implements it.
//
// Thread safety: the free functions may be called from any thread; one
// Sha256 object belongs to one thread at a time.
//
// Failure: a platform without the hash code (on POSIX, libcrypto missing)
// is found by hashing_available(), which the agent calls when it starts.
// Past that check, the only way these fail is running out of memory (or of
// the system's hash provider, which has the same remedy): they then throw
// std::bad_alloc, as any allocation would, so the request being served is
// answered with an error and the agent goes on.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

// Whether the platform's hash code can be used; the error says what is
// missing. It does not load the code into the calling process (on POSIX a
// child process tries), so call it before any thread is started.
[[nodiscard]] Status hashing_available();

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256: update() with the data in chunks of any size (empty
// ones included), then finish() once. The digest equals sha256() of the
// chunks joined.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(std::string_view chunk);
  void update(std::span<const std::uint8_t> chunk) {
    update(std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size()));
  }
  // REQUIRES: not finished yet. After it, the object may only be destroyed
  // or assigned.
  [[nodiscard]] Sha256Digest finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

[[nodiscard]] Sha256Digest sha256(std::string_view data);

// HMAC-SHA-256 with a key of any length (longer than 64 bytes is hashed
// first, as RFC 2104 says).
[[nodiscard]] Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message);

}  // namespace zunel
