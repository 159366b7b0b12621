// Provisioning tickets and revocation lists on any bytes. The first byte
// chooses how the rest is used: as the compact JWS text itself, which
// reaches the token's framing and header checks; or as a header and a
// payload (split at the first line feed) that this target signs with the
// test key, which reaches the claim checks behind the signature. A ticket
// accepted once must be refused the second time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "security/pairing_store.h"
#include "security_test_support.h"
#include "security/tickets.h"

namespace {

using namespace zunel;
using zunel::fuzzing::require;

// Rebuilt now and then so used ticket ids and sequence numbers do not pile
// up over millions of inputs.
AgentState& state() {
  static zunel::fuzzing::FuzzServices services;
  static std::unique_ptr<AgentState> current;
  static unsigned uses = 0;
  if (!current || ++uses % 256 == 0) {
    current.reset();
    auto loaded = load_state(zunel::fuzzing::run_dir(), "1.0.1", services.services(),
                             zunel::testing::test_keyset_json());
    require(loaded.ok(), "load_state");
    current = std::move(*loaded);
  }
  return *current;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string text;
  if (data[0] & 1) {
    const std::size_t split = rest.find('\n');
    const std::string_view header = rest.substr(0, split);
    const std::string_view payload =
        split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);
    text = zunel::testing::sign_jws(header, payload);
  } else {
    text = rest;
  }

  AgentState& agent = state();
  {
    auto locked = agent.lock();
    if (check_provisioning_ticket(locked, text)) {
      require(!check_provisioning_ticket(locked, text), "a ticket was accepted twice");
    }
  }
  {
    auto locked = agent.lock();
    (void)apply_revocation_list(locked, text);
  }
  return 0;
}
