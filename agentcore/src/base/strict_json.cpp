#include "base/strict_json.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "base/member_names.h"

namespace zunel {
namespace {

namespace json = boost::json;

// Builds the value with Boost's value_stack and keeps, per open object, the
// keys seen so far.
class StrictHandler {
 public:
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  json::value_stack stack;
  std::vector<MemberNameSet> seen_keys;
  std::string key;
  bool duplicate = false;

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_object_begin(json::error_code&) {
    seen_keys.emplace_back();
    return true;
  }
  bool on_object_end(std::size_t n, json::error_code&) {
    seen_keys.pop_back();
    stack.push_object(n);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    key.append(s.data(), s.size());
    stack.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code& ec) {
    key.append(s.data(), s.size());
    if (!seen_keys.back().insert(key).second) {
      duplicate = true;
      ec = std::make_error_code(std::errc::invalid_argument);
      return false;
    }
    key.clear();
    stack.push_key(s);
    return true;
  }
  bool on_number_part(json::string_view, json::error_code&) { return true; }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view, json::error_code&) {
    stack.push_double(d);
    return true;
  }
  bool on_bool(bool b, json::error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }
};

}  // namespace

Outcome<json::value> parse_strict_json(std::string_view text, std::size_t max_depth) {
  json::parse_options options;
  options.max_depth = max_depth;
  json::basic_parser<StrictHandler> parser(options);
  parser.handler().stack.reset();
  json::error_code ec;
  const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (ec) {
    if (parser.handler().duplicate) return fail("duplicate member");
    return fail(ec.message());
  }
  if (used != text.size()) return fail("extra data");
  return parser.handler().stack.release();
}

}  // namespace zunel
