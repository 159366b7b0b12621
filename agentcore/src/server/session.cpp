#include "server/session.h"

#include <algorithm>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/free_memory.h"
#include "server/answers.h"
#include "server/linger.h"
#include "server/request_body.h"
#include "server/wire_form.h"

namespace zunel {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

// A burst of bodies this large since memory was last given back.
constexpr std::size_t TRIM_AFTER_BYTES = 8u << 20;

// How an answer goes out on its connection.
struct Reply {
  unsigned version = 11;
  bool keep_alive = false;
  bool head = false;  // a HEAD request: the length without the body
};

bool is_parse_error(const beast::error_code& ec) {
  static const auto& http_category = http::make_error_code(http::error::bad_chunk).category();
  return ec.category() == http_category && ec != http::error::end_of_stream &&
         ec != http::error::partial_message;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Connections& shared, LaneDispatch& lanes)
      : stream_(std::move(socket)), shared_(shared), lanes_(lanes), charge_(shared.bodies) {}
  ~Session() {
    shared_.slots.give_back(slot_);
    if (overflow_) --shared_.overflow;
    // Possibly while the I/O context is destroyed: only the count and the entry.
    if (in_lane_) --shared_.lane_requests;
    if (lane_request_) shared_.lane_cuts.erase(*lane_request_);
  }

  // Takes a connection slot, closing the connection idle longest when the
  // server is full; false when none is idle.
  bool enter() {
    return shared_.slots.take(slot_, [this] { close_socket(); });
  }

  // The first byte must arrive within the first-byte time-out of the
  // connect, the rest of the header within the header time-out.
  void start() { await_request(shared_.limits.first_byte_timeout, false); }

  // A connection that found every slot taken by connections in progress:
  // served as one request, with the same time-outs (see answer_overflow).
  void start_overflow() {
    overflow_ = true;
    ++shared_.overflow;
    start();
  }

 private:
  void close_socket() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  // Ends the connection; a read in progress completes with an error.
  void close() {
    shared_.slots.give_back(slot_);
    close_socket();
  }

  // Before a request: up to `timeout` for its first byte, then the header
  // time-out for the rest of the header. Between requests the connection is
  // idle meanwhile (it may be closed for room); a new connection is not,
  // as its first request may be on its way: the first-byte time-out bounds it.
  void await_request(std::chrono::milliseconds timeout, bool idle = true) {
    if (buffer_.size() > 0) return read_header();
    shared_.slots.set_idle(slot_, idle);
    stream_.expires_after(timeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->shared_.slots.set_idle(self->slot_, false);
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->read_header();
                            });
  }

  void read_header() {
    parser_.emplace();
    over_budget_ = false;
    body_unread_ = false;
    cors_origin_.reset();
    // The header is read whatever the length it declares; the admission
    // decides the bound.
    parser_->body_limit(boost::none);
    parser_->on_chunk_header(on_chunk_);
    stream_.expires_after(shared_.limits.header_timeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_header(ec); });
  }

  void on_header(beast::error_code ec) {
    if (ec) return is_parse_error(ec) ? bad_request() : close();  // else a time-out, or gone
    take_head();
    Admission admission = shared_.admit(head_);
    cors_origin_ = std::move(admission.cors_origin);
    handle_ = std::move(admission.handle);
    const bool has_body = !parser_->is_done();
    if (overflow_) return answer_overflow(std::move(admission.answer), has_body);
    if (admission.answer) return answer_early(std::move(*admission.answer), has_body);
    if (!has_body) return hand_over_empty(std::move(admission.body_consumer));
    start_body(admission);
  }

  // The admission's answer, from the header alone: the body, if any, is
  // never read, and the connection cannot go on after it.
  void answer_early(HttpResponse answer, bool has_body) {
    parser_.reset();
    body_unread_ = has_body;
    reply_.keep_alive = reply_.keep_alive && !has_body;
    send(std::move(answer), reply_);
  }

  // An empty body is a body: a consumer is given it like any other.
  void hand_over_empty(std::shared_ptr<BodyConsumer> consumer) {
    if (consumer) {
      consumer->begin(0);
      consumer->finish();
      parser_->get().body().consumer = std::move(consumer);
    }
    hand_over(BodyState::Complete);
  }

  // A connection beyond the slots gets what is answered on the spot, from
  // the header alone or without a body and without a lane (ping, the
  // preflight, the gates' refusals), and 503 "agente ocupado" for anything
  // else; then it closes, its body (if any) drained as after any early
  // answer. So a full house never resets or ignores a connection.
  void answer_overflow(std::optional<HttpResponse> answer, bool has_body) {
    parser_.reset();
    body_unread_ = has_body;
    reply_.keep_alive = false;
    if (!answer && !has_body) {
      HttpRequest request = std::move(head_);
      const auto handle = std::move(handle_);
      Handled handled = handle(request);
      if (auto* now = std::get_if<HttpResponse>(&handled)) answer = std::move(*now);
    }
    send(answer ? std::move(*answer) : agent_busy_answer(cors_origin_), reply_);
  }

  // The request without its body, and how its answer goes out.
  void take_head() {
    const auto& req = parser_->get();
    head_ = HttpRequest{};
    head_.method = std::string(req.method_string());
    head_.target = std::string(req.target());
    for (const auto& field : req) {
      head_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    reply_ = Reply{
        .version = req.version(), .keep_alive = req.keep_alive(), .head = req.method() == http::verb::head};
  }

  // Reads the body within the admission's bound and the budget of bodies in
  // flight (a declared length is charged whole before the body is read),
  // into the admission's consumer when it chose one.
  void start_body(Admission& admission) {
    const std::size_t bound = std::min(admission.max_body_bytes, shared_.limits.max_body_bytes);
    const auto length = parser_->content_length();
    if (length ? *length > bound : bound == 0) return hand_over(BodyState::TooLarge);
    if (!charge_.begin(bound, length ? std::optional(static_cast<std::size_t>(*length)) : std::nullopt)) {
      return busy();
    }
    parser_->body_limit(bound);
    parser_->get().body().consumer = std::move(admission.body_consumer);
    if (!beast::iequals(parser_->get()[http::field::expect], "100-continue")) return read_body();
    auto interim =
        std::make_shared<http::response<http::empty_body>>(http::status::continue_, reply_.version);
    stream_.expires_after(shared_.limits.body_timeout);
    http::async_write(stream_, *interim,
                      [self = shared_from_this(), interim](beast::error_code ec, std::size_t) {
                        if (ec) return self->close();
                        self->read_body();
                      });
  }

  // Each chunk is charged before it is taken. A consumer keeps no more than
  // the text it was given, so its body is charged the same.
  void on_chunk(std::uint64_t size, beast::error_code& ec) {
    if (!charge_.add_chunk(static_cast<std::size_t>(size))) {  // the parser kept it within the bound
      over_budget_ = true;
      ec = net::error::no_buffer_space;
      return;
    }
    auto& body = parser_->get().body();
    if (!body.consumer) body.text.reserve(charge_.charged());
  }

  void read_body() {
    stream_.expires_after(shared_.limits.body_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (self->over_budget_) return self->busy();
                       if (!ec) return self->hand_over(BodyState::Complete);
                       if (ec == http::error::body_limit) return self->hand_over(BodyState::TooLarge);
                       if (is_parse_error(ec)) return self->hand_over(BodyState::Unreadable);
                       self->close();
                     });
  }

  // The request as read, for its handler.
  HttpRequest take_request(BodyState body_state) {
    HttpRequest request = std::move(head_);
    request.body_state = body_state;
    if (body_state == BodyState::Complete) {
      auto& body = parser_->get().body();
      request.body = std::move(body.text);
      request.body_consumer = std::move(body.consumer);
    } else {
      charge_.release();  // what was read is dropped here
      body_unread_ = true;
    }
    // After an unread or broken body the connection's framing is lost.
    reply_.keep_alive = reply_.keep_alive && body_state == BodyState::Complete;
    parser_.reset();
    return request;
  }

  // Judges the request on the I/O thread: its answer now, or work for a lane.
  void hand_over(BodyState body_state) {
    stream_.expires_never();  // a printer may take its time
    HttpRequest request = take_request(body_state);
    const auto handle = std::move(handle_);
    Handled handled;
    try {
      handled = handle(request);
    } catch (const std::bad_alloc&) {
      handled = out_of_memory_answer(cors_origin_);
    }
    if (auto* answer = std::get_if<HttpResponse>(&handled)) return respond(std::move(*answer));
    run_in_lane(std::get<LaneWork>(std::move(handled)));
  }

  // A job waiting or running in a lane is bounded by the lanes, not by the
  // connection slots: its slot goes to the connections still being read,
  // so that pings and preflights are served while jobs wait, and the
  // lanes' bounds can be reached. It takes a slot again for its answer.
  void run_in_lane(LaneWork work) {
    auto refused = lanes_.dispatch(std::move(work), cors_origin_, [self = shared_from_this()](HttpResponse answer) {
      if (!self->cut_) self->respond(std::move(answer));
    });
    if (refused) return respond(std::move(*refused));
    shared_.slots.give_back(slot_);
    in_lane_ = true;
    ++shared_.lane_requests;
    lane_request_ = shared_.next_lane_request++;
    shared_.lane_cuts.emplace(*lane_request_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->cut();
    });
  }

  // The server stops before the lane work ends: it is answered now, for good.
  void cut() {
    if (cut_ || !in_lane_) return;
    cut_ = true;
    reply_.keep_alive = false;
    respond(agent_stopped_answer(cors_origin_));
  }

  // On the I/O thread, once per request.
  void respond(HttpResponse answer) {
    charge_.release();  // the body was dropped once the request was handled
    // Walking the heap takes a while after a large burst: not on the I/O thread.
    if (shared_.bodies.burst_passed(TRIM_AFTER_BYTES)) lanes_.run_service("memory", release_free_memory);
    // Back from a lane: the connection goes on only when it gets a slot again.
    if (!slot_ && !overflow_ && reply_.keep_alive && !enter()) reply_.keep_alive = false;
    send(std::move(answer), reply_);
  }

  void busy() {
    parser_.reset();
    charge_.release();
    body_unread_ = true;
    send(agent_busy_answer(cors_origin_),
         Reply{.version = reply_.version, .keep_alive = false, .head = false});
  }

  void bad_request() {
    parser_.reset();
    send(malformed_request_answer(), Reply{.version = 11, .keep_alive = false, .head = false});
  }

  // On the I/O thread, once per request handed to a lane: its answer is
  // written, or failed to be.
  void end_lane_request() {
    if (!in_lane_) return;
    in_lane_ = false;
    if (lane_request_) shared_.lane_cuts.erase(*std::exchange(lane_request_, std::nullopt));
    if (--shared_.lane_requests == 0 && shared_.lane_answers_written) shared_.lane_answers_written();
  }

  // The answer goes out as one prepared buffer (wire_form), written with one call.
  void send(HttpResponse answer, const Reply& reply) {
    auto wire = std::make_shared<std::string>(wire_form(answer, reply.version, reply.keep_alive, reply.head));
    answer = HttpResponse{};  // a large body is not kept twice while it is written
    stream_.expires_after(shared_.limits.idle_timeout);
    net::async_write(
        stream_, net::buffer(*wire),
        [self = shared_from_this(), wire, keep_alive = reply.keep_alive](beast::error_code ec, std::size_t) {
          self->end_lane_request();
          if (ec) return self->close();
          if (keep_alive) return self->await_request(self->shared_.limits.idle_timeout);
          if (self->body_unread_) return self->linger();
          self->close();
        });
  }

  // The client may still be writing the body it was answered before.
  void linger() {
    zunel::linger(stream_, buffer_, shared_.limits.linger_bytes, shared_.limits.linger_timeout,
                  [self = shared_from_this()] { self->close(); });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  // The parser keeps a reference to its chunk callback.
  std::function<void(std::uint64_t, beast::string_view, beast::error_code&)> on_chunk_ =
      [this](std::uint64_t size, beast::string_view, beast::error_code& ec) { on_chunk(size, ec); };
  std::optional<http::request_parser<RequestBody>> parser_;
  HttpRequest head_;  // the request being read, without its body
  Reply reply_;
  std::optional<std::string> cors_origin_;       // the admission's, for the server's own answers
  std::function<Handled(HttpRequest&)> handle_;  // the admission's
  bool over_budget_ = false;
  bool body_unread_ = false;  // the request's body was not read to its end
  bool overflow_ = false;     // served beyond the slots: one request, then closed
  bool in_lane_ = false;      // handed to a lane, its answer not written yet
  bool cut_ = false;          // answered before its lane work ended
  std::optional<std::uint64_t> lane_request_;  // its number among the lane requests
  Connections& shared_;
  LaneDispatch& lanes_;
  BodyCharge charge_;
  SessionSlots::Hold slot_;
};

}  // namespace

void cut_lane_requests(Connections& shared) {
  // Each cut ends its own entry once its answer is written: cut a copy.
  std::vector<std::function<void()>> cuts;
  for (const auto& [number, cut] : shared.lane_cuts) cuts.push_back(cut);
  for (const auto& cut : cuts) cut();
}

void serve_connection(tcp::socket socket, Connections& shared, LaneDispatch& lanes) {
  try {
    auto session = std::make_shared<Session>(std::move(socket), shared, lanes);
    if (session->enter()) {
      session->start();
    } else if (shared.overflow < shared.limits.max_connections) {
      session->start_overflow();
    }
    // Else the connection closes unanswered: as many again as the slots
    // are being read beyond them, each within the header time-outs.
  } catch (const std::bad_alloc&) {
    // This connection is dropped with its socket; the next may fare better.
  }
}

}  // namespace zunel
