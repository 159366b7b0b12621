#include "base/sha256.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/opensslv.h>

#include <new>
#include <string>

namespace zunel {
namespace {

// libcrypto is loaded by the first hash, not at process start: mapped and
// relocated at start it added about 1.5 MB to an idle agent's memory. The
// header is used for the types and declarations only.
struct Libcrypto {
  decltype(&::EVP_MD_fetch) md_fetch = nullptr;
  decltype(&::EVP_MD_CTX_new) ctx_new = nullptr;
  decltype(&::EVP_MD_CTX_free) ctx_free = nullptr;
  decltype(&::EVP_DigestInit_ex) init = nullptr;
  decltype(&::EVP_DigestUpdate) update = nullptr;
  decltype(&::EVP_DigestFinal_ex) final = nullptr;
  decltype(&::EVP_Digest) digest = nullptr;
  decltype(&::HMAC) hmac = nullptr;
  // Fetched once: an explicit fetch spares every digest the provider lookup
  // that EVP_sha256() would repeat.
  EVP_MD* sha256 = nullptr;
};

template <typename F>
bool resolve(void* handle, const char* name, F& function) {
  function = reinterpret_cast<F>(::dlsym(handle, name));
  return function != nullptr;
}

// Nothing when the library or one of its functions is missing.
Libcrypto* load() {
  static Libcrypto library;
  const std::string file = "libcrypto.so." + std::to_string(OPENSSL_VERSION_MAJOR);
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  // The handle is never closed: the functions stay in use until exit.
  const bool complete = resolve(handle, "EVP_MD_fetch", library.md_fetch) &&
                        resolve(handle, "EVP_MD_CTX_new", library.ctx_new) &&
                        resolve(handle, "EVP_MD_CTX_free", library.ctx_free) &&
                        resolve(handle, "EVP_DigestInit_ex", library.init) &&
                        resolve(handle, "EVP_DigestUpdate", library.update) &&
                        resolve(handle, "EVP_DigestFinal_ex", library.final) &&
                        resolve(handle, "EVP_Digest", library.digest) && resolve(handle, "HMAC", library.hmac);
  if (!complete) return nullptr;
  library.sha256 = library.md_fetch(nullptr, "SHA256", nullptr);
  return library.sha256 != nullptr ? &library : nullptr;
}

const Libcrypto& crypto() {
  static Libcrypto* const library = load();
  if (library == nullptr) throw std::bad_alloc();
  return *library;
}

void check(int result) {
  if (result != 1) throw std::bad_alloc();
}

}  // namespace

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
  ~Impl() {
    if (ctx != nullptr) crypto().ctx_free(ctx);
  }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  const Libcrypto& c = crypto();
  impl_->ctx = c.ctx_new();
  if (impl_->ctx == nullptr) throw std::bad_alloc();
  check(c.init(impl_->ctx, c.sha256, nullptr));
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view chunk) { check(crypto().update(impl_->ctx, chunk.data(), chunk.size())); }

Sha256Digest Sha256::finish() {
  Sha256Digest out;
  check(crypto().final(impl_->ctx, out.data(), nullptr));
  return out;
}

Sha256Digest sha256(std::string_view data) {
  const Libcrypto& c = crypto();
  Sha256Digest out;
  check(c.digest(data.data(), data.size(), out.data(), nullptr, c.sha256, nullptr));
  return out;
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message) {
  const Libcrypto& c = crypto();
  Sha256Digest out;
  unsigned int len = 0;
  // A null key pointer would make HMAC() fail, so an empty key points at out.
  const unsigned char* key_bytes = key.empty() ? out.data() : key.data();
  if (c.hmac(c.sha256, key_bytes, static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(), out.data(), &len) == nullptr) {
    throw std::bad_alloc();
  }
  return out;
}

}  // namespace zunel
