#include "printing/printer_list.h"

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

namespace zunel {
namespace {

void append_optional_text(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    out += boost::json::serialize(boost::json::string(*text));
  } else {
    out += "null";
  }
}

}  // namespace

std::string printer_list_json(const std::vector<PrinterInfo>& printers) {
  std::string out = "[";
  for (const PrinterInfo& p : printers) {
    if (out.size() > 1) out += ',';
    out += "{\"manufacturer\":";
    append_optional_text(out, p.manufacturer);
    out += p.offline ? ",\"offline\":true" : ",\"offline\":false";
    out += ",\"product\":";
    append_optional_text(out, p.product);
    out += ",\"product_id\":" + std::to_string(p.product_id);
    out += ",\"serial\":";
    append_optional_text(out, p.serial);
    out += ",\"vendor_id\":" + std::to_string(p.vendor_id);
    out += '}';
  }
  out += ']';
  return out;
}

}  // namespace zunel
