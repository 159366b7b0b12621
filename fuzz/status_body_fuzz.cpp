// The status request body reader on any bytes, checked against the strict
// JSON reader on the same bytes: it accepts only what the strict reader
// accepts as an object; its target is the one a print body with the same
// target value reads; its protocol (network and serial targets only) and
// time-out follow the rules of
// printing/status/status_body_reader.h, read here from the value independently.

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "base/strict_json.h"
#include "fuzz_support.h"
#include "printing/print_body_reader.h"
#include "printing/status/status_body_reader.h"

namespace {

namespace json = boost::json;
using namespace zunel;
using zunel::fuzzing::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto read = read_status_body(input);
  auto strict = parse_strict_json(input);
  if (read) require(strict.ok() && strict->is_object(), "the status reader accepts what the strict reader refuses");
  if (!strict || !strict->is_object()) {
    require(!read && read.error() == std::string(STATUS_BODY_INVALID), "a non-object is not refused as invalid JSON");
    return 0;
  }
  const json::object& body = strict->as_object();
  const json::value* target = body.if_contains("target");
  // The print body reader, given the same target value, is the reference.
  auto printed = target ? read_print_body("{\"bytes\":[],\"target\":" + json::serialize(*target) + "}")
                        : Outcome<PrintBody>(fail("no target"));
  if (!printed) {
    require(!read && read.error() == std::string(STATUS_BODY_INVALID), "a bad target is not refused as invalid JSON");
    return 0;
  }
  if (!read) return 0;  // refused for its protocol or time-out; checked below when accepted
  require(read->target == printed->target, "the status and print readers disagree on the target");

  const bool device = std::holds_alternative<NetworkTarget>(read->target.kind) ||
                      std::holds_alternative<SerialTarget>(read->target.kind);
  const json::value* protocol = body.if_contains("protocol");
  if (!device) {
    require(!read->protocol.has_value(), "a spooler or USB target got a protocol");
  } else {
    require(protocol && protocol->is_string(), "a device target was accepted without a protocol");
    const std::string_view name = protocol->as_string();
    const StatusProtocol expected = name == "escpos" ? StatusProtocol::EscPos
                                    : name == "star" ? StatusProtocol::Star
                                                     : StatusProtocol::Zpl;
    require(name == "escpos" || name == "star" || name == "zpl", "an unknown protocol was accepted");
    require(read->protocol == expected, "the protocol read is not the one sent");
  }
  const json::value* timeout = body.if_contains("timeout_ms");
  if (timeout && !timeout->is_null()) {
    require(timeout->is_int64() && read->timeout.count() == timeout->as_int64(), "the time-out read is not the one sent");
  } else {
    const bool zpl = read->protocol == StatusProtocol::Zpl;
    require(read->timeout.count() == (zpl ? 2000 : 1500), "the default time-out is wrong");
  }
  require(read->timeout.count() >= 100 && read->timeout.count() <= 5000, "a time-out out of range was accepted");
  return 0;
}
