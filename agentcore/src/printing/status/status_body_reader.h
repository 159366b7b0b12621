#pragma once
// Reading of the status request body from its JSON text:
// {"target": TARGET, "protocol": "escpos" | "star" | "zpl", "timeout_ms": n}.
//
// TARGET is read exactly as a print body's (printing/print_target_reader.h),
// a "usb" one included (the query refuses it as a print is refused).
// "protocol" is required for the targets the agent speaks to directly
// ("network", "serial") and not read at all for "winspool" and "usb" ones.
// "timeout_ms" is optional (absent or null): an integer from 100 to 5000;
// when absent, the protocol's default_status_timeout() (1500, 2000 for ZPL). Other members
// are skipped. Refused as every reader of this system refuses: duplicate
// members, nesting deeper than 128, anything after the value, malformed
// UTF-8. The caller bounds the text's size first.

#include <chrono>
#include <string_view>

#include "base/outcome.h"
#include "printing/status/status_query.h"

namespace zunel {

inline constexpr std::chrono::milliseconds STATUS_MIN_TIMEOUT{100};
inline constexpr std::chrono::milliseconds STATUS_MAX_TIMEOUT{5000};

// The error texts, meant for the page (the 400 answer's "error"):
inline constexpr const char* STATUS_BODY_INVALID = "json inválido";
inline constexpr const char* STATUS_PROTOCOL_MISSING =
    "falta \"protocol\" (\"escpos\", \"star\" o \"zpl\") para una impresora de red o serie";
inline constexpr const char* STATUS_PROTOCOL_UNKNOWN =
    "\"protocol\" desconocido: debe ser \"escpos\", \"star\" o \"zpl\"";
inline constexpr const char* STATUS_TIMEOUT_INVALID = "\"timeout_ms\" debe ser un entero entre 100 y 5000";

// The request, or one of the texts above: STATUS_BODY_INVALID for text
// that is not such an object or whose target does not read.
[[nodiscard]] Outcome<StatusRequest> read_status_body(std::string_view text);

}  // namespace zunel
