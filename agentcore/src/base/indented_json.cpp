#include "base/indented_json.h"

#include <boost/json.hpp>

namespace zunel {
namespace {

namespace json = boost::json;

void indent(std::string& out, std::size_t level) { out.append(level * 2, ' '); }

void write(std::string& out, const json::value& value, std::size_t level) {
  if (value.is_object()) {
    const json::object& o = value.get_object();
    if (o.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    std::size_t i = 0;
    for (const auto& member : o) {
      indent(out, level + 1);
      out += json::serialize(json::string_view(member.key()));
      out += ": ";
      write(out, member.value(), level + 1);
      out += ++i < o.size() ? ",\n" : "\n";
    }
    indent(out, level);
    out += '}';
  } else if (value.is_array()) {
    const json::array& a = value.get_array();
    if (a.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (std::size_t i = 0; i < a.size(); ++i) {
      indent(out, level + 1);
      write(out, a[i], level + 1);
      out += i + 1 < a.size() ? ",\n" : "\n";
    }
    indent(out, level);
    out += ']';
  } else {
    out += json::serialize(value);
  }
}

}  // namespace

std::string write_indented_json(const json::value& value) {
  std::string out;
  write(out, value, 0);
  return out;
}

}  // namespace zunel
