#include "server/gates.h"

#include <string>

namespace zunel {

bool host_allowed(std::string_view host, std::uint16_t port) {
  // Compared in place: the header is read on every request.
  const std::string port_text = std::to_string(port);
  for (const std::string_view name : {std::string_view("127.0.0.1"), std::string_view("localhost")}) {
    if (host.size() == name.size() + 1 + port_text.size() && host.starts_with(name) &&
        host[name.size()] == ':' && host.ends_with(port_text)) {
      return true;
    }
  }
  return false;
}

namespace {

// Labels of ASCII letters, digits and hyphens, none empty.
bool is_ldh_host(std::string_view host) {
  std::size_t label = 0;
  for (const char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-') {
      ++label;
    } else {
      return false;
    }
  }
  return label > 0;
}

}  // namespace

bool origin_allowed(std::string_view origin, std::string_view erp_domain) {
  constexpr std::string_view scheme = "https://";
  if (!origin.starts_with(scheme)) return false;
  const std::string_view host = origin.substr(scheme.size());
  if (!is_ldh_host(host)) return false;
  if (host == erp_domain) return true;
  return host.size() > erp_domain.size() && host.ends_with(erp_domain) &&
         host[host.size() - erp_domain.size() - 1] == '.';
}

}  // namespace zunel
