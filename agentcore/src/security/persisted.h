#pragma once
// The file form of the pairing store (pairings.json) and its strict reader
// and writer.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "security/agent_state.h"

namespace zunel {

// Built with designated initializers, like Device.
struct PersistedDevice {
  std::string id;
  std::string token;  // hex text as stored; checked when turned into a Device
  std::string origin;
  std::string label;
  std::uint64_t created = 0;
  DeviceSource source = DeviceSource::Code;
  std::optional<std::string> negocio_id;
  std::optional<std::string> user_sub;
  std::optional<std::uint64_t> expira;
};

struct Persisted {
  std::string id;
  std::vector<PersistedDevice> devices;
  std::map<std::string, std::uint64_t> revoked_seq;
};

// Nothing when the text is not a valid store: not JSON, duplicate keys, a
// required key missing, a wrong type, or a "source" other than "code" and
// "auto". Unknown keys are ignored.
std::optional<Persisted> parse_persisted(std::string_view text);

// Two-space indented JSON, keys in declaration order, absent optionals as
// null, line feeds only, no line break after the final brace.
std::string write_persisted(const Persisted& persisted);

}  // namespace zunel
