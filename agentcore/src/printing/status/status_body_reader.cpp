#include "printing/status/status_body_reader.h"

#include <boost/json/value.hpp>

#include "base/strict_json.h"
#include "printing/print_target_reader.h"

namespace zunel {

Outcome<StatusRequest> read_status_body(std::string_view text) {
  namespace json = boost::json;
  auto parsed = parse_strict_json(text);
  if (!parsed || !parsed->is_object()) return fail(STATUS_BODY_INVALID);
  const json::object& body = parsed->as_object();

  // The target is read as a print body's is.
  const json::value* target_value = body.if_contains("target");
  if (target_value == nullptr) return fail(STATUS_BODY_INVALID);
  auto target = read_print_target(*target_value);
  if (!target) return fail(STATUS_BODY_INVALID);

  StatusRequest request;
  request.target = std::move(*target);
  // Only a printer spoken to directly needs its language: a spooler
  // printer is asked through its queue, and a USB one is refused as a print is.
  if (speaks_directly(request.target)) {
    const json::value* protocol = body.if_contains("protocol");
    if (protocol == nullptr || protocol->is_null()) return fail(STATUS_PROTOCOL_MISSING);
    const json::string* name = protocol->if_string();
    if (name == nullptr) return fail(STATUS_PROTOCOL_UNKNOWN);
    request.protocol = protocol_named(*name);
    if (!request.protocol) return fail(STATUS_PROTOCOL_UNKNOWN);
  }

  request.timeout = default_status_timeout(request.protocol);
  if (const json::value* timeout = body.if_contains("timeout_ms"); timeout != nullptr && !timeout->is_null()) {
    // Integers only: 1500.0 and 1.5e3 are refused, as every integer field is.
    const std::int64_t* ms = timeout->if_int64();
    if (ms == nullptr || *ms < STATUS_MIN_TIMEOUT.count() || *ms > STATUS_MAX_TIMEOUT.count()) {
      return fail(STATUS_TIMEOUT_INVALID);
    }
    request.timeout = std::chrono::milliseconds(*ms);
  }
  return request;
}

}  // namespace zunel
