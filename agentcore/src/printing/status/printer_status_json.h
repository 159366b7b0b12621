#pragma once
// The JSON form of a printer's status, as the status route and a
// confirmation that was not confirmed answer it.

#include <string>

#include "printing/status/printer_status.h"

namespace zunel {

// The JSON object of the answer, members in the order above: "source"
// ("device" | "spooler"), "reachable" (null when busy), "answered", "busy", "online"
// (true | false | null), "paper" ("ok" | "near_end" | "out" | "unknown"),
// "cover_open", "error" (null | "cutter" | "mechanical" | "unrecoverable" |
// "auto_recoverable" | "head_open" | "ribbon_out" | "other"),
// "drawer_pin3_high", "queue" ({"state": "idle" | "processing" | "stopped",
// "reasons": [...], "jobs": n} or null), "raw" (lower-case hex, two digits a
// byte), "elapsed_ms".
std::string printer_status_json(const PrinterStatus& status);
}  // namespace zunel
