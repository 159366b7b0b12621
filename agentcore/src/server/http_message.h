#pragma once
// A request as the gates and endpoints see it, and the answer they give: plain
// data, so request handling is tested without sockets.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
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

// Which lanes a piece of work joins. Printer lanes are bounded in number and
// their jobs wait at most the server's start deadline ("impresora
// ocupada"); service lanes (the store, the printer list) are few and fixed.
enum class LaneKind { Printer, Service };

// Work that must not run on the server's I/O thread (it waits for a printer,
// the spooler or the disk): it runs in the lane named `lane`, after the work
// accepted there before it, and its result is the request's answer.
struct LaneWork {
  std::string lane;
  LaneKind kind = LaneKind::Service;
  std::function<HttpResponse()> run;
  // Work that is worth doing only soon (a status query) names its own start
  // deadline and the answer it gets when the lane is still busy by then;
  // otherwise the server's deadline and 503 apply.
  std::optional<std::chrono::milliseconds> start_within{};
  std::function<HttpResponse()> not_started{};
  // Run on the lane's thread once `run`'s answer is on its way to the page
  // (a job's last journal line), so that the answer never waits for it.
  std::function<void()> after_answer{};
  // Called on the I/O thread with the answer of work that never ran: its
  // lane refused it, its start deadline passed or the server stopped (a
  // job's journal line saying so).
  std::function<void(const HttpResponse&)> unrun{};
};

// What handling a whole request gives: its answer now, or the work that
// will answer it.
using Handled = std::variant<HttpResponse, LaneWork>;

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
  // Unless answered: judges the request once its body was read, or found
  // too large or unreadable, on the I/O thread (so it takes no lock that
  // may be held across input or output). It is given the request with the
  // consumer's body, or the body's text. A std::bad_alloc it throws is
  // answered 500 {"error":"memoria insuficiente"}.
  std::function<Handled(HttpRequest&)> handle;
};

// The value of the first header named `name` (ASCII case ignored), or nothing.
const std::string* find_header(const HeaderList& headers, std::string_view name);

}  // namespace zunel
