#pragma once
// The two gates every request passes before any endpoint runs.

#include <cstdint>
#include <string_view>

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

}  // namespace zunel
