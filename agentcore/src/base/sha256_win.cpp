#include "base/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <new>

namespace zunel {
namespace {

// The providers are opened once and shared: CNG allows hash objects of one
// provider to be created from several threads at once.
BCRYPT_ALG_HANDLE open_provider(ULONG flags) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, flags))) {
    throw std::bad_alloc();
  }
  return alg;
}

BCRYPT_ALG_HANDLE sha256_provider() {
  static const BCRYPT_ALG_HANDLE alg = open_provider(0);
  return alg;
}

BCRYPT_ALG_HANDLE hmac_provider() {
  static const BCRYPT_ALG_HANDLE alg = open_provider(BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return alg;
}

void check(NTSTATUS status) {
  if (!BCRYPT_SUCCESS(status)) throw std::bad_alloc();
}

// CNG lets the hash object's memory be its own business (null buffer).
BCRYPT_HASH_HANDLE create_hash(BCRYPT_ALG_HANDLE alg, std::span<const std::uint8_t> key) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  check(BCryptCreateHash(alg, &hash, nullptr, 0, const_cast<PUCHAR>(key.data()),
                         static_cast<ULONG>(key.size()), 0));
  return hash;
}

// BCryptHashData takes a 32-bit length: larger data goes in pieces.
void hash_data(BCRYPT_HASH_HANDLE hash, std::string_view data) {
  constexpr std::size_t PIECE = 1u << 30;
  do {
    const std::size_t n = std::min(data.size(), PIECE);
    check(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                         static_cast<ULONG>(n), 0));
    data.remove_prefix(n);
  } while (!data.empty());
}

Sha256Digest finish_hash(BCRYPT_HASH_HANDLE hash) {
  Sha256Digest out;
  check(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0));
  return out;
}

struct HashHandle {
  explicit HashHandle(BCRYPT_HASH_HANDLE handle) : h(handle) {}
  ~HashHandle() { BCryptDestroyHash(h); }
  HashHandle(const HashHandle&) = delete;
  HashHandle& operator=(const HashHandle&) = delete;
  BCRYPT_HASH_HANDLE h;
};

}  // namespace

Status hashing_available() {
  try {
    sha256_provider();
    hmac_provider();
  } catch (const std::bad_alloc&) {
    return fail("el sistema no ofrece SHA-256 (CNG)");
  }
  return {};
}

struct Sha256::Impl {
  HashHandle hash;
};

Sha256::Sha256() : impl_(new Impl{HashHandle{create_hash(sha256_provider(), {})}}) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view chunk) {
  if (!chunk.empty()) hash_data(impl_->hash.h, chunk);
}

Sha256Digest Sha256::finish() { return finish_hash(impl_->hash.h); }

Sha256Digest sha256(std::string_view data) {
  HashHandle hash{create_hash(sha256_provider(), {})};
  if (!data.empty()) hash_data(hash.h, data);
  return finish_hash(hash.h);
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message) {
  HashHandle hash{create_hash(hmac_provider(), key)};
  if (!message.empty()) hash_data(hash.h, message);
  return finish_hash(hash.h);
}

}  // namespace zunel
