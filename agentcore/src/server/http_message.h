#pragma once
// A request as the gates and endpoints see it, and the answer they give: plain
// data, so request handling is tested without sockets.

#include <cstddef>
#include <memory>
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

// Takes a request's body piece by piece as it arrives, on the server's I/O
// thread, in place of its text: the text is then never kept whole, and what
// the consumer keeps is its own affair. It may throw std::bad_alloc, which
// ends that one connection.
class BodyConsumer {
 public:
  virtual ~BodyConsumer() = default;
  // Once, before any piece: the body's declared length, already within the
  // admission's bound and charged to the budget of bodies in flight; 0 for a
  // chunked body.
  virtual void begin(std::size_t declared_length) = 0;
  // The next piece of the raw body (chunk framing removed); any size, cut
  // anywhere.
  virtual void consume(std::string_view piece) = 0;
  // Once, after the last piece of a body that arrived whole and well framed.
  // A body that did not is dropped with its consumer, unfinished.
  virtual void finish() = 0;
};

struct HttpRequest {
  std::string method;  // as sent: "GET", "POST", ...
  std::string target;  // the URL as sent, query included
  HeaderList headers;  // every header, values exactly as sent, in arrival order
  std::string body;    // raw bytes; empty when a consumer took them
  BodyState body_state = BodyState::Complete;
  // The admission's consumer, finished, when it took the whole body; then
  // `body` is empty. Nothing when the body was kept as text, was not read
  // whole, or there was none.
  std::shared_ptr<BodyConsumer> body_consumer;
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
  // When set, the body is handed piece by piece to this consumer instead of
  // being kept as text; it comes back in HttpRequest::body_consumer.
  std::shared_ptr<BodyConsumer> body_consumer;
  // The request's CORS origin, when the gates allowed one: the answers the
  // server gives by itself to this request (503, 500) carry it.
  std::optional<std::string> cors_origin;
};

// The value of the first header named `name` (ASCII case ignored), or nothing.
const std::string* find_header(const HeaderList& headers, std::string_view name);

}  // namespace zunel
