#pragma once
// The two gates every request passes before any endpoint runs, and the
// answer form every endpoint uses.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/http_message.h"

namespace zunel {

// True exactly for "127.0.0.1:<port>" and "localhost:<port>", byte for byte.
bool host_allowed(std::string_view host, std::uint16_t port);

// True for a serialized HTTPS origin, as a browser sends it, whose host is
// the ERP domain or ends in "." + the domain: "https://" then a host of
// labels made of ASCII letters, digits and hyphens, no label empty, and
// nothing after the host. So a port, path, query, fragment, user part
// ("user@host": "@" is no host character), backslash, space, empty label or
// non-ASCII byte is refused. The domain part is compared byte for byte, so
// in another case it is refused; the labels before it may be in any case.
bool origin_allowed(std::string_view origin, std::string_view erp_domain);

// A JSON answer: the body as given, then "Content-Type", "Cache-Control",
// "Access-Control-Allow-Credentials" and, with a CORS origin,
// "Access-Control-Allow-Origin" and "Vary", in this order.
HttpResponse json_response(unsigned status, const std::optional<std::string>& cors_origin,
                           std::string body);

// {"error":TEXT} with TEXT escaped as a JSON string.
std::string error_body(std::string_view text);

// The 204 answer to a CORS preflight from an allowed origin.
HttpResponse preflight_response(const std::string& origin);

}  // namespace zunel
