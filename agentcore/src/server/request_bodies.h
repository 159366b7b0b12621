#pragma once
// The JSON bodies of the pairing, provisioning and revocation requests.
// A body is exactly one JSON object; unknown members are skipped, a member
// given twice or of the wrong type refuses it, and an optional member may be
// absent or null.

#include <optional>
#include <string>
#include <string_view>

namespace zunel {

struct PairBody {
  std::string code;
  std::optional<std::string> label;
};

struct ProvBody {
  std::string ticket;
  std::optional<std::string> device_id;
  std::optional<std::string> label;
};

struct RevBody {
  std::string list;
};

// Each gives nothing when the text does not decode.
std::optional<PairBody> decode_pair_body(std::string_view text);
std::optional<ProvBody> decode_prov_body(std::string_view text);
std::optional<RevBody> decode_rev_body(std::string_view text);

}  // namespace zunel
