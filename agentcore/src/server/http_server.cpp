#include "server/http_server.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <map>
#include <new>
#include <optional>

#include "base/free_memory.h"
#include "base/loopback_listener.h"
#include "server/answers.h"
#include "server/session_slots.h"
#include "server/wire_form.h"

namespace zunel {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

// How an answer goes out on its connection.
struct Reply {
  unsigned version = 11;
  bool keep_alive = false;
  bool head = false;
};

// The body of every request: its text, or, when the admission chose a
// consumer, each piece handed to it as it arrives and nothing kept. The
// parser keeps the text within the body's bound.
struct RequestBody {
  struct value_type {
    std::string text;
    std::shared_ptr<BodyConsumer> consumer;
  };

  class reader {
   public:
    template <bool is_request, class Fields>
    reader(http::header<is_request, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, beast::error_code& ec) {
      ec = {};
      const auto declared = static_cast<std::size_t>(length.value_or(0));
      if (body_.consumer) {
        body_.consumer->begin(declared);
      } else {
        body_.text.reserve(declared);
      }
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
      ec = {};
      std::size_t taken = 0;
      for (const auto buffer : beast::buffers_range_ref(buffers)) {
        const std::string_view piece(static_cast<const char*>(buffer.data()), buffer.size());
        if (body_.consumer) {
          body_.consumer->consume(piece);
        } else {
          body_.text.append(piece);
        }
        taken += piece.size();
      }
      return taken;
    }

    void finish(beast::error_code& ec) {
      ec = {};
      if (body_.consumer) body_.consumer->finish();
    }

   private:
    value_type& body_;
  };
};

bool is_parse_error(const beast::error_code& ec) {
  static const auto& http_category = http::make_error_code(http::error::bad_chunk).category();
  return ec.category() == http_category && ec != http::error::end_of_stream &&
         ec != http::error::partial_message;
}

// One connection's share of the budget for bodies in flight; returned when
// released or destroyed.
class BodyCharge {
 public:
  // `charged_since_trim` counts every byte ever charged, for the server to
  // tell when a burst of bodies has passed.
  BodyCharge(std::atomic<std::size_t>& in_flight, std::atomic<std::size_t>& charged_since_trim,
             std::size_t budget)
      : in_flight_(in_flight), charged_since_trim_(charged_since_trim), budget_(budget) {}
  BodyCharge(const BodyCharge&) = delete;
  BodyCharge& operator=(const BodyCharge&) = delete;
  ~BodyCharge() { release(); }

  // Raises the charge to `total` bytes; false, and nothing charged, when the
  // budget cannot take the difference.
  [[nodiscard]] bool raise_to(std::size_t total) {
    if (total <= charged_) return true;
    const std::size_t more = total - charged_;
    std::size_t now = in_flight_.load();
    do {
      if (now > budget_ || more > budget_ - now) return false;
    } while (!in_flight_.compare_exchange_weak(now, now + more));
    charged_since_trim_ += more;
    charged_ = total;
    return true;
  }

  void release() {
    in_flight_ -= charged_;
    charged_ = 0;
  }

 private:
  std::atomic<std::size_t>& in_flight_;
  std::atomic<std::size_t>& charged_since_trim_;
  const std::size_t budget_;
  std::size_t charged_ = 0;
};

}  // namespace

struct HttpServer::Impl {
  explicit Impl(ServerLimits l)
      : limits(l),
        slots(l.max_connections),
        printer_lanes(l.printer_lanes),
        service_lanes(LaneLimits{.max_busy_lanes = SERVICE_LANES,
                                 .max_waiting_per_lane = l.max_waiting_service_work}) {}

  // The store's, the printer list's and the memory release's, with room.
  static constexpr std::size_t SERVICE_LANES = 8;
  // A burst of bodies this large since memory was last given back.
  static constexpr std::size_t TRIM_AFTER_BYTES = 8u << 20;

  ServerLimits limits;
  AdmissionHook admit;

  // Declared before the I/O context: sessions give back their slots and
  // charges while the context destroys them.
  SessionSlots slots;
  // Connections served beyond the slots (see Session::answer_overflow).
  std::atomic<std::size_t> overflow{0};
  std::atomic<std::size_t> bodies_in_flight{0};
  std::atomic<std::size_t> charged_since_trim{0};

  net::io_context io{1};
  std::optional<tcp::acceptor> acceptor;
  // After a failed accept (out of descriptors or memory for now), the next
  // waits this long rather than spinning on the same failure.
  net::steady_timer accept_pause{io};
  static constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};

  // Declared after the I/O context, so destroyed before it: the work still
  // running ends while its answers can still be posted.
  Lanes printer_lanes;
  Lanes service_lanes;

  // The orderly stop; on the I/O thread but `lane_requests` and
  // `work_outlived_grace`, which lane threads and the caller may read.
  bool stopping = false;
  // Requests handed to a lane whose answer has not been written yet.
  std::atomic<std::size_t> lane_requests{0};
  // The start deadlines of work waiting in a lane, by an id of their own;
  // the stop cancels them, so the work is answered at once.
  std::map<std::uint64_t, std::weak_ptr<net::steady_timer>> waiting;
  std::uint64_t next_waiting_id = 0;
  net::steady_timer grace_timer{io};
  std::atomic<bool> work_outlived_grace{false};

  Lanes& lanes(LaneKind kind) { return kind == LaneKind::Printer ? printer_lanes : service_lanes; }
  void accept();
  void after_answer();
  void begin_stop(std::chrono::milliseconds grace);
  void lane_request_done();  // on the I/O thread
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, HttpServer::Impl& server)
      : stream_(std::move(socket)),
        server_(server),
        charge_(server.bodies_in_flight, server.charged_since_trim,
                server.limits.max_bodies_in_flight) {}
  ~Session() {
    server_.slots.give_back(slot_);
    if (overflow_) --server_.overflow;
    // Possibly while the I/O context is destroyed: only the count.
    if (in_lane_) --server_.lane_requests;
  }

  // Takes a connection slot, closing the connection idle longest when the
  // server is full; false when none is idle.
  bool enter() {
    return server_.slots.take(slot_, [this] { close_socket(); });
  }

  // The first byte must arrive within the first-byte time-out of the
  // connect, the rest of the header within the header time-out.
  void start() { await_request(server_.limits.first_byte_timeout, false); }

  // A connection that found every slot taken by connections in progress:
  // served as one request, with the same time-outs (see answer_overflow).
  void start_overflow() {
    overflow_ = true;
    ++server_.overflow;
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
    server_.slots.give_back(slot_);
    close_socket();
  }

  // Before a request: up to `timeout` for its first byte, then the header
  // time-out for the rest of the header. Between requests the connection is
  // idle meanwhile (it may be closed for room); a new connection is not,
  // as its first request may be on its way: the first-byte time-out bounds it.
  void await_request(std::chrono::milliseconds timeout, bool idle = true) {
    if (buffer_.size() > 0) return read_header();
    server_.slots.set_idle(slot_, idle);
    stream_.expires_after(timeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->server_.slots.set_idle(self->slot_, false);
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->read_header();
                            });
  }

  void read_header() {
    parser_.emplace();
    over_budget_ = false;
    body_unread_ = false;
    received_ = 0;
    reserved_ = 0;
    cors_origin_.reset();
    // The header is read whatever the length it declares; the admission
    // decides the bound.
    parser_->body_limit(boost::none);
    parser_->on_chunk_header(on_chunk_);
    stream_.expires_after(server_.limits.header_timeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->on_header(ec);
                            });
  }

  void on_header(beast::error_code ec) {
    if (ec) return is_parse_error(ec) ? bad_request() : close();  // else a time-out, or gone
    take_head();
    Admission admission = server_.admit(head_);
    cors_origin_ = std::move(admission.cors_origin);
    handle_ = std::move(admission.handle);
    const bool has_body = !parser_->is_done();
    if (overflow_) return answer_overflow(std::move(admission.answer), has_body);
    if (admission.answer) {
      parser_.reset();
      body_unread_ = has_body;  // the connection cannot go on after it
      reply_.keep_alive = reply_.keep_alive && !has_body;
      return send(std::move(*admission.answer), reply_);
    }
    if (!has_body) {
      // An empty body is a body: a consumer is given it like any other.
      if (admission.body_consumer) {
        admission.body_consumer->begin(0);
        admission.body_consumer->finish();
        parser_->get().body().consumer = std::move(admission.body_consumer);
      }
      return hand_over(BodyState::Complete);
    }
    start_body(admission);
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
    reply_ = Reply{req.version(), req.keep_alive(), req.method() == http::verb::head};
  }

  // Reads the body within the admission's bound and the budget of bodies in
  // flight, into the admission's consumer when it chose one.
  void start_body(Admission& admission) {
    bound_ = std::min(admission.max_body_bytes, server_.limits.max_body_bytes);
    const auto length = parser_->content_length();
    if (length ? *length > bound_ : bound_ == 0) return hand_over(BodyState::TooLarge);
    // A declared length is reserved whole as soon as the body is read.
    if (length && !charge_.raise_to(static_cast<std::size_t>(*length))) return busy();
    if (length) reserved_ = static_cast<std::size_t>(*length);
    parser_->body_limit(bound_);
    parser_->get().body().consumer = std::move(admission.body_consumer);
    if (!beast::iequals(parser_->get()[http::field::expect], "100-continue")) return read_body();
    auto interim =
        std::make_shared<http::response<http::empty_body>>(http::status::continue_, reply_.version);
    stream_.expires_after(server_.limits.body_timeout);
    http::async_write(stream_, *interim,
                      [self = shared_from_this(), interim](beast::error_code ec, std::size_t) {
                        if (ec) return self->close();
                        self->read_body();
                      });
  }

  // A chunked body grows in steps the server chooses, each charged before
  // it is taken: doubling, but never past the body's bound. A consumer keeps
  // no more than the text it was given, so its body is charged the same.
  void on_chunk(std::uint64_t size, beast::error_code& ec) {
    auto& body = parser_->get().body();
    // The parser kept it within bound_.
    const std::size_t needed = received_ + static_cast<std::size_t>(size);
    received_ = needed;
    if (needed <= reserved_) return;
    const std::size_t grown = std::min(std::max(needed, 2 * reserved_), bound_);
    if (!charge_.raise_to(grown)) {
      over_budget_ = true;
      ec = net::error::no_buffer_space;
      return;
    }
    reserved_ = grown;
    if (!body.consumer) body.text.reserve(grown);
  }

  void read_body() {
    stream_.expires_after(server_.limits.body_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (self->over_budget_) return self->busy();
                       if (!ec) return self->hand_over(BodyState::Complete);
                       if (ec == http::error::body_limit) return self->hand_over(BodyState::TooLarge);
                       if (is_parse_error(ec)) return self->hand_over(BodyState::Unreadable);
                       self->close();
                     });
  }

  // Judges the request on the I/O thread: its answer now, or work for a lane.
  void hand_over(BodyState body_state) {
    stream_.expires_never();  // a printer may take its time
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

  // Queues the work in its lane. Answered 503 when the lanes are full or the
  // server is stopping, or when it has not started by the start deadline
  // (then it never runs).
  void run_in_lane(LaneWork work) {
    if (server_.stopping) return respond(agent_busy_answer(cors_origin_));
    Lanes& lanes = server_.lanes(work.kind);
    auto timer = std::make_shared<net::steady_timer>(server_.io);
    auto submitted =
        lanes.submit(work.lane, [self = shared_from_this(), timer, run = std::move(work.run),
                                 after = std::move(work.after_answer)]() mutable {
          self->run_and_answer(run, timer);
          if (after) run_after_answer(after);
        });
    if (!submitted) return respond(agent_busy_answer(cors_origin_));
    // A job waiting or running in a lane is bounded by the lanes, not by the
    // connection slots: its slot goes to the connections still being read,
    // so that pings and preflights are served while jobs wait, and the
    // lanes' bounds can be reached. It takes a slot again for its answer.
    server_.slots.give_back(slot_);
    in_lane_ = true;
    ++server_.lane_requests;
    const std::uint64_t waiting_id = server_.next_waiting_id++;
    server_.waiting.emplace(waiting_id, timer);
    auto not_started = std::move(work.not_started);
    if (!not_started) {
      not_started = [printer = work.kind == LaneKind::Printer, cors = cors_origin_] {
        return printer ? printer_busy_answer(cors) : agent_busy_answer(cors);
      };
    }
    timer->expires_after(work.start_within.value_or(server_.limits.lane_start_deadline));
    timer->async_wait([self = shared_from_this(), &lanes, ticket = std::move(*submitted), waiting_id,
                       not_started = std::move(not_started)](beast::error_code ec) {
      const bool stopping = self->server_.stopping;
      self->server_.waiting.erase(waiting_id);
      // Cancelled: the work was answered, or the server is stopping.
      if ((ec && !stopping) || !lanes.withdraw(ticket)) return;
      HttpResponse answer;
      try {
        answer = stopping ? agent_busy_answer(self->cors_origin_) : not_started();
      } catch (const std::bad_alloc&) {
        answer = out_of_memory_answer(self->cors_origin_);
      }
      self->respond(std::move(answer));
    });
  }

  // On the lane's thread. Never throws: an answer that cannot even be
  // posted leaves the connection to close with its last owner.
  void run_and_answer(std::function<HttpResponse()>& run,
                      const std::shared_ptr<net::steady_timer>& timer) noexcept {
    try {
      HttpResponse answer;
      try {
        answer = run();
      } catch (const std::bad_alloc&) {
        answer = out_of_memory_answer(cors_origin_);
      }
      run = nullptr;  // what it held (a job's bytes) goes before the answer is sent
      net::post(server_.io, [self = shared_from_this(), timer, answer = std::move(answer)]() mutable {
        timer->cancel();
        self->respond(std::move(answer));
      });
    } catch (const std::bad_alloc&) {
    }
  }

  // On the lane's thread; like the work, it must not throw, and running out
  // of memory costs only what it would have done.
  static void run_after_answer(const std::function<void()>& after) noexcept {
    try {
      after();
    } catch (const std::bad_alloc&) {
    }
  }

  // On the I/O thread, once per request.
  void respond(HttpResponse answer) {
    charge_.release();  // the body was dropped once the request was handled
    server_.after_answer();
    // Back from a lane: the connection goes on only when it gets a slot again.
    if (!slot_ && !overflow_ && reply_.keep_alive && !enter()) reply_.keep_alive = false;
    send(std::move(answer), reply_);
  }

  void busy() {
    parser_.reset();
    charge_.release();
    body_unread_ = true;
    send(agent_busy_answer(cors_origin_), Reply{reply_.version, false, false});
  }

  void bad_request() {
    parser_.reset();
    send(malformed_request_answer(), Reply{11, false, false});
  }

  // On the I/O thread, once per request handed to a lane: its answer is
  // written, or failed to be.
  void end_lane_request() {
    if (!in_lane_) return;
    in_lane_ = false;
    server_.lane_request_done();
  }

  // The answer goes out as one prepared buffer (wire_form), written with one call.
  void send(HttpResponse answer, const Reply& reply) {
    auto wire = std::make_shared<std::string>(wire_form(answer, reply.version, reply.keep_alive, reply.head));
    answer = HttpResponse{};  // a large body is not kept twice while it is written
    stream_.expires_after(server_.limits.idle_timeout);
    net::async_write(stream_, net::buffer(*wire),
                     [self = shared_from_this(), wire, keep_alive = reply.keep_alive](beast::error_code ec,
                                                                                      std::size_t) {
                       self->end_lane_request();
                       if (ec) return self->close();
                       if (keep_alive) return self->await_request(self->server_.limits.idle_timeout);
                       if (self->body_unread_) return self->linger();
                       self->close();
                     });
  }

  // The client may still be writing the body it was answered before: read
  // and drop it for a while, so that it reads the answer instead of meeting
  // a reset, then close.
  void linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    lingered_ = 0;
    stream_.expires_after(server_.limits.linger_timeout);
    discard_rest();
  }

  void discard_rest() {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(65536),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->lingered_ += n;
                              if (ec || self->lingered_ >= self->server_.limits.linger_bytes) {
                                return self->close();
                              }
                              self->discard_rest();
                            });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  // The parser keeps a reference to its chunk callback.
  std::function<void(std::uint64_t, beast::string_view, beast::error_code&)> on_chunk_ =
      [this](std::uint64_t size, beast::string_view, beast::error_code& ec) { on_chunk(size, ec); };
  std::optional<http::request_parser<RequestBody>> parser_;
  HttpRequest head_;  // the request being read, without its body
  Reply reply_;
  std::optional<std::string> cors_origin_;  // the admission's, for the server's own answers
  std::function<Handled(HttpRequest&)> handle_;  // the admission's
  std::size_t bound_ = 0;     // of the body being read
  std::size_t received_ = 0;  // of a chunked body, so far
  std::size_t reserved_ = 0;  // of the body, charged to the budget
  std::size_t lingered_ = 0;  // bytes dropped after an early answer
  bool over_budget_ = false;
  bool body_unread_ = false;  // the request's body was not read to its end
  bool overflow_ = false;     // served beyond the slots: one request, then closed
  bool in_lane_ = false;      // handed to a lane, its answer not written yet
  HttpServer::Impl& server_;
  BodyCharge charge_;
  SessionSlots::Hold slot_;
};

}  // namespace

void HttpServer::Impl::accept() {
  acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      accept_pause.expires_after(ACCEPT_PAUSE);
      accept_pause.async_wait([this](beast::error_code waited) {
        if (!waited) accept();
      });
      return;
    }
    try {
      auto session = std::make_shared<Session>(std::move(socket), *this);
      if (session->enter()) {
        session->start();
      } else if (overflow < limits.max_connections) {
        session->start_overflow();
      }
      // Else the connection closes unanswered: as many again as the slots
      // are being read beyond them, each within the header time-outs.
    } catch (const std::bad_alloc&) {
      // This connection is dropped with its socket; the next may fare better.
    }
    accept();
  });
}

void HttpServer::Impl::after_answer() {
  if (bodies_in_flight.load() != 0 || charged_since_trim.load() < TRIM_AFTER_BYTES) return;
  charged_since_trim = 0;
  // Walking the heap takes a while after a large burst: not on the I/O thread.
  (void)service_lanes.submit("memory", [] { release_free_memory(); });
}

void HttpServer::Impl::begin_stop(std::chrono::milliseconds grace) {
  if (stopping) return;
  stopping = true;
  beast::error_code ignored;
  acceptor->close(ignored);
  // Each cancelled deadline answers its work, which never runs.
  for (const auto& [id, timer] : waiting) {
    if (auto live = timer.lock()) live->cancel();
  }
  if (lane_requests == 0) return io.stop();
  grace_timer.expires_after(grace);
  grace_timer.async_wait([this](beast::error_code ec) {
    if (ec) return;
    work_outlived_grace = lane_requests != 0;
    io.stop();
  });
}

void HttpServer::Impl::lane_request_done() {
  // The last answer of a stopping server: serve() may return.
  if (--lane_requests == 0 && stopping) io.stop();
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpServer::~HttpServer() { stop(); }

Outcome<std::unique_ptr<HttpServer>> HttpServer::bind(std::uint16_t port, ServerLimits limits) {
  auto impl = std::make_unique<Impl>(limits);
  auto acceptor = open_loopback_listener(impl->io, port);
  if (!acceptor) return fail(acceptor.error());
  impl->acceptor.emplace(std::move(*acceptor));
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

std::uint16_t HttpServer::port() const { return impl_->acceptor->local_endpoint().port(); }

void HttpServer::serve(const AdmissionHook& admit) {
  Impl& s = *impl_;
  s.admit = admit;
  s.accept();
  for (;;) {
    try {
      s.io.run();
      return;
    } catch (const std::bad_alloc&) {
      // The handler that ran out was unwound, and with it the one
      // connection it served (nothing else holds a session); go on.
    }
  }
}

void HttpServer::stop() { impl_->io.stop(); }

void HttpServer::shut_down(std::chrono::milliseconds grace) {
  net::post(impl_->io, [impl = impl_.get(), grace] { impl->begin_stop(grace); });
}

bool HttpServer::work_outlived_grace() const { return impl_->work_outlived_grace; }

}  // namespace zunel
