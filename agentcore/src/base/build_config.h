#pragma once
// Values fixed when the agent is built (CMake options ZUNEL_ERP_ORIGIN_DOMAIN,
// ZUNEL_KEYSET_FILE and ZUNEL_TEST_HOOKS).

#include <string_view>

namespace zunel {

// The ERP's web domain: a plain lower-case host name, no port, no dot at the end.
std::string_view erp_origin_domain();

// The built-in Ed25519 keyset, as the JSON text of the keyset file: an array
// of objects with "kid" and "pubkey_b64".
std::string_view builtin_keyset_json();

// True only in a test build (ZUNEL_TEST_HOOKS): then the test-only
// environment switches are honoured. A release build has none.
bool test_hooks_enabled();

}  // namespace zunel
