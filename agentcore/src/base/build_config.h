#pragma once
// Values fixed when the agent is built (CMake options ZUNEL_ERP_ORIGIN_DOMAIN,
// ZUNEL_KEYSET_FILE, ZUNEL_TEST_HOOKS and ZUNEL_BUILD_ID).

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

// The build's identity, shown beside AGENT_VERSION so that two builds of one
// version can be told apart: a release's name for it (ZUNEL_BUILD_ID, from
// scripts/release.sh --version), else the commit's date (UTC) and short
// hash, "2026-12-10.78f8fe6c1a2b", with "+cambios" when the tree held
// uncommitted changes, or "desconocida" when built outside git. Read from
// git at every build (cmake/build_identity.cmake), never a time of the build.
std::string_view agent_build();

}  // namespace zunel
