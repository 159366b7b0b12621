#include "printing/print_target.h"

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "base/overloaded.h"

namespace zunel {

bool speaks_directly(const PrintTarget& target) {
  return std::visit(Overloaded{
                        [](const PrintTarget::Network&) { return true; },
                        [](const PrintTarget::Usb&) { return false; },
                        [](const PrintTarget::Serial&) { return true; },
                        [](const PrintTarget::WinSpool&) { return false; },
                    },
                    target.kind);
}

std::string target_json(const PrintTarget& target) {
  boost::json::object o;
  // One case per kind and no default: a new kind does not compile without its form.
  std::visit(Overloaded{
                 [&o](const PrintTarget::Network& t) {
                   o["kind"] = "network";
                   o["host"] = t.host;
                   o["port"] = t.port;
                 },
                 [&o](const PrintTarget::Usb& t) {
                   o["kind"] = "usb";
                   o["vendor_id"] = t.vendor_id;
                   o["product_id"] = t.product_id;
                 },
                 [&o](const PrintTarget::Serial& t) {
                   o["kind"] = "serial";
                   o["port"] = t.port;
                   o["baud"] = t.baud;
                 },
                 [&o](const PrintTarget::WinSpool& t) {
                   o["kind"] = "winspool";
                   o["printer"] = t.printer;
                 },
             },
             target.kind);
  return boost::json::serialize(o);
}

bool readable_job_id(std::string_view text) {
  if (text.empty() || text.size() > JOB_ID_MAX_CHARS) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == ':' || c == '-';
  });
}

bool valid_job_id(std::string_view text) {
  return readable_job_id(text) && text.find_first_not_of('.') != std::string_view::npos;
}

}  // namespace zunel
