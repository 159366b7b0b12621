#include "base/sha256.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <new>

namespace zunel {
namespace {

// Fetched once: an explicit fetch spares every digest the provider lookup
// that EVP_sha256() would repeat.
const EVP_MD* sha256_method() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) throw std::bad_alloc();
  return md;
}

void check(int result) {
  if (result != 1) throw std::bad_alloc();
}

}  // namespace

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  if (impl_->ctx == nullptr) throw std::bad_alloc();
  check(EVP_DigestInit_ex(impl_->ctx, sha256_method(), nullptr));
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view chunk) {
  check(EVP_DigestUpdate(impl_->ctx, chunk.data(), chunk.size()));
}

Sha256Digest Sha256::finish() {
  Sha256Digest out;
  check(EVP_DigestFinal_ex(impl_->ctx, out.data(), nullptr));
  return out;
}

Sha256Digest sha256(std::string_view data) {
  Sha256Digest out;
  check(EVP_Digest(data.data(), data.size(), out.data(), nullptr, sha256_method(), nullptr));
  return out;
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message) {
  Sha256Digest out;
  unsigned int len = 0;
  // A null key pointer would make HMAC() fail, so an empty key points at out.
  const unsigned char* key_bytes = key.empty() ? out.data() : key.data();
  if (HMAC(sha256_method(), key_bytes, static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), out.data(),
           &len) == nullptr) {
    throw std::bad_alloc();
  }
  return out;
}

}  // namespace zunel
