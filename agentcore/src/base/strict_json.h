#pragma once
// Strict JSON reading for every reader of the system: RFC 8259, strict UTF-8,
// a nesting limit, nothing after the value, and duplicate object members
// refused (Boost.JSON's own DOM parser silently keeps the last duplicate).

#include <boost/json/value.hpp>
#include <cstddef>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

inline constexpr std::size_t JSON_MAX_DEPTH = 128;

// Parses `text` as exactly one JSON value. The error text is a short English
// description for diagnostics, not for clients.
[[nodiscard]] Outcome<boost::json::value> parse_strict_json(std::string_view text,
                                                            std::size_t max_depth = JSON_MAX_DEPTH);

}  // namespace zunel
