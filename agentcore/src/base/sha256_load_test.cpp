#include "base/sha256.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "base/hex.h"

namespace zunel {
namespace {

bool libcrypto_in_process() {
  void* handle = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) ::dlclose(handle);
  return handle != nullptr;
}

// Its own process, so that nothing has hashed before it looks.
TEST(Sha256Load, LibcryptoIsLoadedByTheFirstHashNotAtStart) {
  ASSERT_FALSE(libcrypto_in_process()) << "libcrypto was loaded at process start";
  ASSERT_TRUE(hashing_available());
  ASSERT_FALSE(libcrypto_in_process()) << "the start check loaded it";
  EXPECT_EQ(to_hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(libcrypto_in_process());
}

}  // namespace
}  // namespace zunel
