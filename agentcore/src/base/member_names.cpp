#include "base/member_names.h"

#include <sodium.h>

namespace zunel {
namespace {

KeyedStringHash::Key process_key() {
  KeyedStringHash::Key key;
  // libsodium's generator is the system's (getrandom, RtlGenRandom).
  randombytes_buf(key.data(), key.size());
  return key;
}

}  // namespace

KeyedStringHash::KeyedStringHash() {
  static const Key key = process_key();
  key_ = key;
}

std::size_t KeyedStringHash::operator()(std::string_view text) const {
  static_assert(crypto_shorthash_BYTES == 8 && crypto_shorthash_KEYBYTES == 16);
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                   key_.data());
  std::uint64_t value = 0;
  for (unsigned char b : out) value = (value << 8) | b;
  return static_cast<std::size_t>(value);
}

}  // namespace zunel
