#include "base/sha256.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <openssl/opensslv.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>

namespace zunel {
namespace {

// libcrypto is loaded by the first hash, not at process start: mapped and
// relocated it adds about 1.7 MB to the agent's memory. Its plain SHA-256
// functions are used, not the EVP layer: EVP would also load the
// configuration and the providers, another 1.6 MB, and look the algorithm up
// on every HMAC. The header is used for SHA256_CTX only.
struct Libcrypto {
  int (*init)(SHA256_CTX*) = nullptr;
  int (*update)(SHA256_CTX*, const void*, std::size_t) = nullptr;
  int (*final)(unsigned char*, SHA256_CTX*) = nullptr;
};

template <typename F>
bool resolve(void* handle, const char* name, F& function) {
  function = reinterpret_cast<F>(::dlsym(handle, name));
  return function != nullptr;
}

const std::string& library_file() {
  static const std::string file = "libcrypto.so." + std::to_string(OPENSSL_VERSION_MAJOR);
  return file;
}

// Nothing when the library or one of its functions is missing.
Libcrypto* load() {
  static Libcrypto library;
  const std::string& file = library_file();
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  // The handle is never closed: the functions stay in use until exit.
  const bool complete = resolve(handle, "SHA256_Init", library.init) &&
                        resolve(handle, "SHA256_Update", library.update) &&
                        resolve(handle, "SHA256_Final", library.final);
  return complete ? &library : nullptr;
}

Libcrypto* loaded() {
  static Libcrypto* const library = load();
  return library;
}

const Libcrypto& crypto() {
  Libcrypto* const library = loaded();
  if (library == nullptr) throw std::bad_alloc();
  return *library;
}

constexpr std::size_t BLOCK_SIZE = 64;

}  // namespace

Status hashing_available() {
  // libcrypto cannot be unloaded once loaded (it is built not to be), and an
  // idle agent would carry its 1.6 MB from the start: a child process tries
  // to load it, the caller does not. Called before any thread starts, the
  // child may use the loader freely.
  bool loadable = false;
  const pid_t child = ::fork();
  if (child == 0) ::_exit(load() != nullptr ? 0 : 1);
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    loadable = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  } else {
    loadable = loaded() != nullptr;  // no child to spare: try here
  }
  if (!loadable) {
    return fail("no se pudo cargar " + library_file() + " (OpenSSL), que el agente necesita para SHA-256");
  }
  return {};
}

struct Sha256::Impl {
  SHA256_CTX ctx;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) { crypto().init(&impl_->ctx); }

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view chunk) { crypto().update(&impl_->ctx, chunk.data(), chunk.size()); }

Sha256Digest Sha256::finish() {
  Sha256Digest out;
  crypto().final(out.data(), &impl_->ctx);
  return out;
}

Sha256Digest sha256(std::string_view data) {
  Sha256 hash;
  hash.update(data);
  return hash.finish();
}

// RFC 2104 over the plain functions: H((K ^ opad) || H((K ^ ipad) || m)).
Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::string_view message) {
  std::array<std::uint8_t, BLOCK_SIZE> block{};
  if (key.size() > BLOCK_SIZE) {
    const Sha256Digest hashed_key =
        sha256(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
    std::copy(hashed_key.begin(), hashed_key.end(), block.begin());
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  const auto padded = [&block](std::uint8_t pad) {
    std::array<std::uint8_t, BLOCK_SIZE> out;
    std::transform(block.begin(), block.end(), out.begin(), [pad](std::uint8_t b) { return b ^ pad; });
    return out;
  };
  Sha256 inner;
  inner.update(std::span<const std::uint8_t>(padded(0x36)));
  inner.update(message);
  const Sha256Digest inner_digest = inner.finish();
  Sha256 outer;
  outer.update(std::span<const std::uint8_t>(padded(0x5c)));
  outer.update(std::span<const std::uint8_t>(inner_digest));
  return outer.finish();
}

}  // namespace zunel
