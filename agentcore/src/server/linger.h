#pragma once
// After an answer sent before the request's body was read, the client may
// still be writing that body: a close now could reset the connection before
// the client reads the answer. Lingering reads and drops the rest for a
// while, then lets the connection close.

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <cstddef>
#include <functional>

namespace zunel {

// Ends the sending side of `stream`, then reads and drops what arrives
// until the client closes, `max_bytes` were dropped, `timeout` passed or
// the read fails; then calls `done` (on the stream's executor), which
// closes the connection and keeps `stream` and `buffer` alive until then.
void linger(boost::beast::tcp_stream& stream, boost::beast::flat_buffer& buffer, std::size_t max_bytes,
            std::chrono::milliseconds timeout, std::function<void()> done);

}  // namespace zunel
