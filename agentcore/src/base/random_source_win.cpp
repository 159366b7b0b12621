#include "base/random_source.h"

#include <windows.h>
#include <bcrypt.h>

namespace zunel {
namespace {

// RtlGenRandom is exported as SystemFunction036 and has no import library
// entry in every toolchain: look it up at run time.
using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);

class WinRandom final : public RandomSource {
 public:
  Status fill(std::span<std::uint8_t> out) override {
    if (out.empty()) return {};
    if (BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return {};
    }
    HMODULE advapi = LoadLibraryW(L"advapi32.dll");
    if (advapi != nullptr) {
      auto gen = reinterpret_cast<RtlGenRandomFn>(
          reinterpret_cast<void*>(GetProcAddress(advapi, "SystemFunction036")));
      const bool ok = gen != nullptr && gen(out.data(), static_cast<ULONG>(out.size()));
      FreeLibrary(advapi);
      if (ok) return {};
    }
    return fail(CSPRNG_UNAVAILABLE);
  }
};

}  // namespace

RandomSource& system_random() {
  static WinRandom source;
  return source;
}

}  // namespace zunel
