#include "base/random_source.h"

#include <sys/random.h>

#include <cerrno>

namespace zunel {
namespace {

class PosixRandom final : public RandomSource {
 public:
  Status fill(std::span<std::uint8_t> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(CSPRNG_UNAVAILABLE);
      }
      done += static_cast<std::size_t>(n);
    }
    return {};
  }
};

}  // namespace

RandomSource& system_random() {
  static PosixRandom source;
  return source;
}

}  // namespace zunel
