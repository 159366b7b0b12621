#pragma once
// Values fixed when the agent is built (CMake options ZUNEL_ERP_ORIGIN_DOMAIN
// and ZUNEL_KEYSET_FILE).

#include <string_view>

namespace zunel {

// The ERP's web domain: a plain lower-case host name, no port, no dot at the end.
std::string_view erp_origin_domain();

// The built-in Ed25519 keyset, as the JSON text of the keyset file: an array
// of objects with "kid" and "pubkey_b64".
std::string_view builtin_keyset_json();

}  // namespace zunel
