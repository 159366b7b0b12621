#pragma once
// The largest print request body the agent reads: label jobs run to
// megabytes, and a body over this is answered 413 before it is read. The
// largest body any route takes, so the HTTP server's own bound for any one
// body too.

#include <cstddef>

namespace zunel {

inline constexpr std::size_t PRINT_BODY_MAX_BYTES = std::size_t{64} << 20;  // 64 MiB

}  // namespace zunel
