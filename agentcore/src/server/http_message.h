#pragma once
// A request as the gates and endpoints see it, and the answer they give: plain
// data, so request handling is tested without sockets.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zunel {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// How reading the body went. The connection layer reads it before the
// request is handled; handling decides whether a failure matters (only the
// routes that read a body answer it).
enum class BodyState {
  Complete,
  Unreadable,  // broken framing (a bad chunk, a short body)
  TooLarge,    // over the size limit; not read
};

struct HttpRequest {
  std::string method;  // as sent: "GET", "POST", ...
  std::string target;  // the URL as sent, query included
  HeaderList headers;  // every header, values exactly as sent, in arrival order
  std::string body;    // raw bytes
  BodyState body_state = BodyState::Complete;
};

struct HttpResponse {
  unsigned status = 200;
  HeaderList headers;  // written in this order
  std::string body;
};

// What the server does with a request as soon as its header is complete,
// before any body byte is read. Decided on the server's I/O thread, so the
// decision takes no lock and does no input or output.
struct Admission {
  // Set: this answer is sent at once and the body is never read; the
  // connection closes when the request has a body (its framing is lost).
  std::optional<HttpResponse> answer;
  // Otherwise: the body is read when it is at most this many bytes, and a
  // larger one is handed over unread as BodyState::TooLarge. 0 for requests
  // that take no body: one that has a body anyway is handed over unread.
  std::size_t max_body_bytes = 0;
};

// The value of the first header named `name` (ASCII case ignored), or nothing.
const std::string* find_header(const HeaderList& headers, std::string_view name);

}  // namespace zunel
