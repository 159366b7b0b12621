// The streaming print body reader on any bytes, checked against the strict
// JSON reader on the same bytes. The streaming reader refuses everything the
// strict reader refuses (duplicates, depth, trailing text, bad UTF-8), so
// whatever it accepts the strict reader accepts too; and where the strict
// reader's value has the shape of a print body, both must read the same
// destination, the same bytes, the same confirmation (or its refusal) and
// the same job id (or its refusal). The shape is read here from the value by
// the rules of printing/print_body_reader.h, independently of the streaming
// code: "bytes_base64" is decoded whole by libsodium (the decoder of the
// agent's keys and tickets), not by the streaming base64 decoder.

#include <boost/json/value.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/strict_json.h"
#include "fuzz_support.h"
#include "printing/print_body_reader.h"
#include "security/crypto.h"

namespace {

namespace json = boost::json;
using namespace zunel;
using zunel::fuzzing::require;

std::optional<std::uint64_t> whole_number(const json::value& v, std::uint64_t max) {
  if (const auto* i = v.if_int64(); i && *i >= 0 && static_cast<std::uint64_t>(*i) <= max) {
    return static_cast<std::uint64_t>(*i);
  }
  if (const auto* u = v.if_uint64(); u && *u <= max) return *u;
  return std::nullopt;
}

std::optional<std::string> text(const json::value& v) {
  if (const auto* s = v.if_string()) return std::string(s->data(), s->size());
  return std::nullopt;
}

// The kind's fields, in declaration order, taken one by one by `field(i, name)`.
template <typename Field>
std::optional<PrintTarget> target_of_kind(std::string_view kind, Field field) {
  constexpr auto U16 = std::numeric_limits<std::uint16_t>::max();
  constexpr auto U32 = std::numeric_limits<std::uint32_t>::max();
  const auto get = [&](std::size_t i, const char* name) { return field(i, name); };
  if (kind == "network") {
    auto host = get(0, "host"), port = get(1, "port");
    if (!host || !port) return std::nullopt;
    auto h = text(*host);
    auto p = whole_number(*port, U16);
    if (!h || !p) return std::nullopt;
    return PrintTarget{NetworkTarget{*h, static_cast<std::uint16_t>(*p)}};
  }
  if (kind == "usb") {
    auto vendor = get(0, "vendor_id"), product = get(1, "product_id");
    if (!vendor || !product) return std::nullopt;
    auto v = whole_number(*vendor, U16);
    auto p = whole_number(*product, U16);
    if (!v || !p) return std::nullopt;
    return PrintTarget{UsbTarget{static_cast<std::uint16_t>(*v), static_cast<std::uint16_t>(*p)}};
  }
  if (kind == "serial") {
    auto port = get(0, "port"), baud = get(1, "baud");
    if (!port || !baud) return std::nullopt;
    auto p = text(*port);
    auto b = whole_number(*baud, U32);
    if (!p || !b) return std::nullopt;
    return PrintTarget{SerialTarget{*p, static_cast<std::uint32_t>(*b)}};
  }
  if (kind == "winspool") {
    auto printer = get(0, "printer");
    if (!printer) return std::nullopt;
    auto p = text(*printer);
    if (!p) return std::nullopt;
    return PrintTarget{WinSpoolTarget{*p}};
  }
  return std::nullopt;
}

std::size_t field_count(std::string_view kind) {
  if (kind == "network" || kind == "usb" || kind == "serial") return 2;
  if (kind == "winspool") return 1;
  return 0;
}

std::optional<PrintTarget> target_from(const json::value& v) {
  using Found = std::optional<json::value>;
  if (const auto* object = v.if_object()) {
    const json::value* kind = object->if_contains("kind");
    if (!kind || !kind->is_string()) return std::nullopt;
    return target_of_kind(kind->as_string(), [&](std::size_t, const char* name) -> Found {
      if (const json::value* f = object->if_contains(name)) return *f;
      return std::nullopt;
    });
  }
  if (const auto* array = v.if_array()) {
    if (array->empty() || !array->at(0).is_string()) return std::nullopt;
    const std::string_view kind = array->at(0).as_string();
    if (field_count(kind) == 0 || array->size() != 1 + field_count(kind)) return std::nullopt;
    return target_of_kind(kind, [&](std::size_t i, const char*) -> Found { return array->at(1 + i); });
  }
  return std::nullopt;
}

// "bytes_base64": a string, standard alphabet, canonical padding, nothing else.
std::optional<std::vector<std::uint8_t>> base64_bytes_from(const json::value& v) {
  const auto* text = v.if_string();
  if (!text) return std::nullopt;
  return crypto::base64_decode(std::string_view(text->data(), text->size()));
}

std::optional<std::vector<std::uint8_t>> bytes_from(const json::value& v) {
  const auto* array = v.if_array();
  if (!array) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (const json::value& element : *array) {
    auto b = whole_number(element, 255);
    if (!b) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*b));
  }
  return bytes;
}

// The "confirm" member by the header's rules, for the target read.
Outcome<std::optional<ConfirmRequest>> confirm_from(const json::value* v, const PrintTarget& target) {
  if (!v || v->is_null()) return std::optional<ConfirmRequest>();
  const auto* object = v->if_object();
  if (!object) return fail(CONFIRM_INVALID);
  ConfirmRequest request;
  if (std::holds_alternative<NetworkTarget>(target.kind) || std::holds_alternative<SerialTarget>(target.kind)) {
    const json::value* protocol = object->if_contains("protocol");
    if (!protocol || protocol->is_null()) return fail(CONFIRM_PROTOCOL_MISSING);
    const auto name = text(*protocol);
    if (name == "escpos") request.protocol = StatusProtocol::EscPos;
    if (name == "star") request.protocol = StatusProtocol::Star;
    if (name == "zpl") request.protocol = StatusProtocol::Zpl;
    if (!request.protocol) return fail(CONFIRM_PROTOCOL_UNKNOWN);
  }
  if (const json::value* timeout = object->if_contains("timeout_ms"); timeout && !timeout->is_null()) {
    const auto ms = whole_number(*timeout, 30000);
    if (!ms || *ms < 1000) return fail(CONFIRM_TIMEOUT_INVALID);
    request.timeout = std::chrono::milliseconds(*ms);
  }
  return std::optional<ConfirmRequest>(request);
}

// The "job_id" member by the header's rules, checked character by character here.
Outcome<std::optional<std::string>> job_id_from(const json::value* v) {
  if (!v || v->is_null()) return std::optional<std::string>();
  const auto* s = v->if_string();
  if (!s || s->empty() || s->size() > 64) return fail(JOB_ID_INVALID);
  for (char c : *s) {
    const bool allowed = std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._:-")
                             .find(c) != std::string_view::npos;
    if (!allowed || c == '\0') return fail(JOB_ID_INVALID);
  }
  // Dots alone name no job a page could ask after.
  bool dots_only = true;
  for (char c : *s) dots_only = dots_only && c == '.';
  if (dots_only) return fail(JOB_ID_INVALID);
  return std::optional<std::string>(std::string(*s));
}

std::optional<PrintBody> body_from(const json::value& v) {
  const json::value* target = nullptr;
  const json::value* bytes = nullptr;
  const json::value* bytes_base64 = nullptr;
  const json::value* confirm = nullptr;
  const json::value* job_id = nullptr;
  if (const auto* object = v.if_object()) {
    job_id = object->if_contains("job_id");
    target = object->if_contains("target");
    bytes = object->if_contains("bytes");
    bytes_base64 = object->if_contains("bytes_base64");
    confirm = object->if_contains("confirm");
  } else if (const auto* array = v.if_array(); array && array->size() == 2) {
    target = &array->at(0);
    bytes = &array->at(1);
  }
  // Exactly one of the two forms of the bytes.
  if (!target || (bytes != nullptr) == (bytes_base64 != nullptr)) return std::nullopt;
  auto t = target_from(*target);
  auto b = bytes ? bytes_from(*bytes) : base64_bytes_from(*bytes_base64);
  if (!t || !b) return std::nullopt;
  auto c = confirm_from(confirm, *t);
  return PrintBody{std::move(*t), std::move(*b), std::move(c), job_id_from(job_id)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto streamed = read_print_body(input);
  auto strict = parse_strict_json(input);
  if (streamed) require(strict.ok(), "the print body reader accepts what the strict reader refuses");
  if (!strict) return 0;
  auto expected = body_from(*strict);
  require(streamed.ok() == expected.has_value(),
          "the print body reader and the strict reader disagree on accepting a body");
  if (!expected) return 0;
  require(streamed->target == expected->target, "the readers disagree on the destination");
  require(streamed->bytes == expected->bytes, "the readers disagree on the bytes");
  const auto& got = streamed->confirm;
  const auto& want = expected->confirm;
  require(got.ok() == want.ok() && (got.ok() ? *got == *want : got.error() == want.error()),
          "the readers disagree on the confirmation");
  const auto& got_id = streamed->job_id;
  const auto& want_id = expected->job_id;
  require(got_id.ok() == want_id.ok() && (got_id.ok() ? *got_id == *want_id : got_id.error() == want_id.error()),
          "the readers disagree on the job id");
  return 0;
}
