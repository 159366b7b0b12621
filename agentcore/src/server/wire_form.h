#pragma once
// An answer as the bytes that go on the wire, built in one buffer: the
// server writes it with one call. The bytes are those Beast's message
// writer gives for the same answer, without its walk over a chain of
// buffers for every header (a tenth of a ping's time).

#include <string>

#include "server/http_message.h"

namespace zunel {

// The status line in `version` (10 or 11) with the status's standard
// reason, the answer's headers in their order, then:
// - "Content-Length": the body's length, except on 1xx, 204 and 304;
// - "Connection: close" on HTTP/1.1 when the connection ends after it,
//   "Connection: keep-alive" on HTTP/1.0 when it goes on;
// then the body, unless `head` (a HEAD request: the length without the
// body) or the status takes none.
std::string wire_form(const HttpResponse& answer, unsigned version, bool keep_alive, bool head);

}  // namespace zunel
