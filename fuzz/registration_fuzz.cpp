// The router's reader of an agent's registration on any bytes, and on every
// prefix of them: a prefix of a complete message is incomplete, a complete
// one is rebuilt byte for byte from its version, and once malformed a
// longer input stays malformed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "router/registration.h"

using zunel::fuzzing::require;
using State = zunel::RegistrationRead::State;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto whole = zunel::read_registration(input);
  if (whole.state == State::complete) {
    require(whole.size <= zunel::MAX_REGISTRATION_SIZE, "a message over the bound");
    const auto rebuilt = zunel::registration_message(whole.version);
    require(rebuilt.has_value() && rebuilt->size() == whole.size &&
                std::equal(rebuilt->begin(), rebuilt->end(), data),
            "a complete message is not the one its version makes");
    for (std::size_t n = 0; n < whole.size; ++n) {
      require(zunel::read_registration(input.first(n)).state == State::incomplete,
              "a prefix of a message is not incomplete");
    }
  }
  if (whole.state == State::incomplete) {
    require(size < zunel::MAX_REGISTRATION_SIZE, "incomplete past the bound");
  }
  if (whole.state == State::malformed && size > 0) {
    // The shortest malformed prefix: every longer one is malformed too.
    std::size_t first = 1;
    while (zunel::read_registration(input.first(first)).state != State::malformed) ++first;
    for (std::size_t n = first; n <= size; ++n) {
      require(zunel::read_registration(input.first(n)).state == State::malformed,
              "malformed, then not");
    }
  }
  return 0;
}
