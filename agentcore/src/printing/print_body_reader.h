#pragma once
// Reading of the print request body from its JSON text.
//
// Accepted forms: {"target":TARGET,"bytes":BYTES} with members in any order
// and other members skipped, or the array [TARGET,BYTES]. TARGET is an object
// carrying "kind" ("network", "usb", "serial" or "winspool") anywhere among
// the kind's fields, other members skipped, or the array [KIND,FIELD...] with
// the fields in declaration order. BYTES is an array of integers 0 to 255.
// Integer fields take JSON integers within their width only, text fields JSON
// strings only. Refused: duplicate members at any depth, nesting deeper than
// 128, anything but white space after the value, malformed UTF-8.
//
// The bytes are decoded in one streaming pass straight into the byte string:
// bodies of label jobs run to megabytes.

#include <string_view>

#include "base/outcome.h"
#include "printing/print_target.h"

namespace zunel {

// The error text is a short English diagnostic, never meant for clients (the
// print endpoint answers every refusal the same way).
[[nodiscard]] Outcome<PrintBody> read_print_body(std::string_view text);

}  // namespace zunel
