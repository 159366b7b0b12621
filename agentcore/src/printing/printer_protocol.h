#pragma once
// The language the agent speaks to a printer on a device channel (raw TCP,
// serial), for status queries and print confirmations alike.

#include <optional>
#include <string_view>

namespace zunel {

// There is no guessing: a query in the wrong language prints junk (an
// ESC/POS printer prints "~HS" as text), so the page always names it.
enum class StatusProtocol { EscPos, Star, Zpl };

// The protocol of its wire name ("escpos", "star", "zpl"); nothing for any
// other text.
inline std::optional<StatusProtocol> protocol_named(std::string_view name) {
  if (name == "escpos") return StatusProtocol::EscPos;
  if (name == "star") return StatusProtocol::Star;
  if (name == "zpl") return StatusProtocol::Zpl;
  return std::nullopt;
}

}  // namespace zunel
