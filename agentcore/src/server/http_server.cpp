#include "server/http_server.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "base/loopback_listener.h"
#include "server/gates.h"

namespace zunel {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

class Session;

// How an answer goes out on its connection.
struct Reply {
  unsigned version = 11;
  bool keep_alive = false;
  bool head = false;
};

// What the serving thread needs to answer one request on its connection.
struct Pending {
  HttpRequest request;
  std::shared_ptr<Session> session;
  Reply reply;
  std::optional<std::string> cors_origin;  // for the server's own answer
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
  BodyCharge(std::atomic<std::size_t>& in_flight, std::size_t budget)
      : in_flight_(in_flight), budget_(budget) {}
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
    charged_ = total;
    return true;
  }

  void release() {
    in_flight_ -= charged_;
    charged_ = 0;
  }

 private:
  std::atomic<std::size_t>& in_flight_;
  const std::size_t budget_;
  std::size_t charged_ = 0;
};

}  // namespace

struct HttpServer::Impl {
  explicit Impl(ServerLimits l) : limits(l) {}

  ServerLimits limits;
  AdmissionHook admit;

  // Declared before the I/O context: sessions leave the list and return
  // their charges while the context destroys them. The list is read and
  // changed under its mutex, since a session may end on the serving thread.
  std::mutex sessions_mutex;
  std::list<Session*> sessions;
  std::atomic<std::size_t> bodies_in_flight{0};

  net::io_context io{1};
  std::optional<tcp::acceptor> acceptor;
  std::thread io_thread;

  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Pending> queue;
  bool stopped = false;

  void accept();
  bool make_room();
  void enqueue(Pending pending) {
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
      queue.push_back(std::move(pending));
    }
    ready.notify_one();
  }
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, HttpServer::Impl& server)
      : stream_(std::move(socket)),
        server_(server),
        charge_(server.bodies_in_flight, server.limits.max_bodies_in_flight) {
    std::lock_guard lock(server_.sessions_mutex);
    slot_ = server_.sessions.insert(server_.sessions.end(), this);
  }
  ~Session() { leave(); }

  // The first byte must arrive within the first-byte time-out of the
  // connect, the rest of the header within the header time-out.
  void start() { await_request(server_.limits.first_byte_timeout); }

  // Since when the connection waits for a request's first byte with nothing
  // in progress; nothing while a request is under way. REQUIRES: the list's
  // mutex is held.
  std::optional<Clock::time_point> idle_since() const { return idle_since_; }

  // Runs on the I/O thread with the serving thread's answer.
  void respond(HttpResponse answer, const Reply& reply) {
    charge_.release();  // the body was dropped once the request was handled
    send(std::move(answer), reply);
  }

  // Ends the connection; a read in progress completes with an error.
  void close() {
    leave();
    close_socket();
  }

  // Closes an idle connection to give its slot to a new one. REQUIRES: the
  // list's mutex is held, on the I/O thread.
  void evict() {
    server_.sessions.erase(*slot_);
    slot_.reset();
    idle_since_.reset();
    close_socket();
  }

 private:
  void close_socket() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  // Gives up the connection slot; the slot list no longer sees this session.
  void leave() {
    std::lock_guard lock(server_.sessions_mutex);
    idle_since_.reset();
    if (slot_) server_.sessions.erase(*slot_);
    slot_.reset();
  }

  void set_idle(bool idle) {
    std::lock_guard lock(server_.sessions_mutex);
    if (idle) {
      idle_since_ = Clock::now();
    } else {
      idle_since_.reset();
    }
  }

  void send(HttpResponse answer, const Reply& reply) {
    auto res = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), reply.version);
    for (auto& [name, value] : answer.headers) res->insert(name, value);
    if (answer.status == 204 || answer.status == 304 || answer.status < 200) {
      // No body and no length on these.
    } else if (reply.head) {
      res->content_length(answer.body.size());
    } else {
      res->body() = std::move(answer.body);
      res->prepare_payload();
    }
    res->keep_alive(reply.keep_alive);
    stream_.expires_after(server_.limits.idle_timeout);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, keep_alive = reply.keep_alive](
                          beast::error_code ec, std::size_t) {
                        if (ec || !keep_alive) return self->close();
                        self->await_request(self->server_.limits.idle_timeout);
                      });
  }

  // Before a request: up to `timeout` for its first byte (the connection is
  // idle meanwhile), then the header time-out for the rest of the header.
  void await_request(std::chrono::milliseconds timeout) {
    if (buffer_.size() > 0) return read_header();
    set_idle(true);
    stream_.expires_after(timeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->set_idle(false);
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->read_header();
                            });
  }

  void read_header() {
    parser_.emplace();
    over_budget_ = false;
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
    if (ec) {
      if (is_parse_error(ec)) return bad_request();
      return close();  // time-out, or the client went away
    }
    const auto& req = parser_->get();
    head_ = HttpRequest{};
    head_.method = std::string(req.method_string());
    head_.target = std::string(req.target());
    for (const auto& field : req) {
      head_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    reply_ = Reply{req.version(), req.keep_alive(), req.method() == http::verb::head};
    const bool has_body = !parser_->is_done();

    Admission admission;
    if (server_.admit) {
      admission = server_.admit(head_);
    } else {
      admission.max_body_bytes = server_.limits.max_body_bytes;
    }
    cors_origin_ = std::move(admission.cors_origin);
    if (admission.answer) {
      // The body, if any, stays unread: the connection cannot go on after it.
      parser_.reset();
      reply_.keep_alive = reply_.keep_alive && !has_body;
      return send(std::move(*admission.answer), reply_);
    }
    if (!has_body) return hand_over(BodyState::Complete);

    bound_ = std::min(admission.max_body_bytes, server_.limits.max_body_bytes);
    const auto length = parser_->content_length();
    if (length ? *length > bound_ : bound_ == 0) return hand_over(BodyState::TooLarge);
    // A declared length is reserved whole as soon as the body is read.
    if (length && !charge_.raise_to(static_cast<std::size_t>(*length))) return busy();
    if (length) reserved_ = static_cast<std::size_t>(*length);
    parser_->body_limit(bound_);
    parser_->get().body().consumer = std::move(admission.body_consumer);

    const auto& expect = req[http::field::expect];
    if (beast::iequals(expect, "100-continue")) {
      auto interim =
          std::make_shared<http::response<http::empty_body>>(http::status::continue_, req.version());
      stream_.expires_after(server_.limits.body_timeout);
      return http::async_write(
          stream_, *interim,
          [self = shared_from_this(), interim](beast::error_code write_ec, std::size_t) {
            if (write_ec) return self->close();
            self->read_body();
          });
    }
    read_body();
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

  void hand_over(BodyState body_state) {
    stream_.expires_never();  // a slow printer may take its time
    Pending pending;
    pending.request = std::move(head_);
    pending.request.body_state = body_state;
    if (body_state == BodyState::Complete) {
      auto& body = parser_->get().body();
      pending.request.body = std::move(body.text);
      pending.request.body_consumer = std::move(body.consumer);
    } else {
      charge_.release();  // what was read is dropped here
    }
    pending.reply = reply_;
    // After an unread or broken body the connection's framing is lost.
    pending.reply.keep_alive = reply_.keep_alive && body_state == BodyState::Complete;
    pending.session = shared_from_this();
    pending.cors_origin = cors_origin_;
    parser_.reset();
    server_.enqueue(std::move(pending));
  }

  void busy() {
    parser_.reset();
    charge_.release();
    HttpResponse answer = json_response(503, cors_origin_, "{\"error\":\"agente ocupado\"}");
    answer.headers.emplace_back("Retry-After", "1");
    send(std::move(answer), Reply{reply_.version, false, false});
  }

  void bad_request() {
    parser_.reset();
    send(json_response(400, std::nullopt, "{\"error\":\"petición mal formada\"}"),
         Reply{11, false, false});
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
  std::size_t bound_ = 0;     // of the body being read
  std::size_t received_ = 0;  // of a chunked body, so far
  std::size_t reserved_ = 0;  // of the body, charged to the budget
  bool over_budget_ = false;
  HttpServer::Impl& server_;
  BodyCharge charge_;
  std::optional<std::list<Session*>::iterator> slot_;  // under the list's mutex
  std::optional<Clock::time_point> idle_since_;        // under the list's mutex
};

}  // namespace

bool HttpServer::Impl::make_room() {
  std::lock_guard lock(sessions_mutex);
  if (sessions.size() < limits.max_connections) return true;
  Session* oldest = nullptr;
  for (Session* session : sessions) {
    const auto since = session->idle_since();
    if (since && (!oldest || *since < *oldest->idle_since())) oldest = session;
  }
  if (!oldest) return false;
  // Its waiting read ends with an error and lets go of the session.
  oldest->evict();
  return true;
}

void HttpServer::Impl::accept() {
  acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      try {
        if (make_room()) std::make_shared<Session>(std::move(socket), *this)->start();
      } catch (const std::bad_alloc&) {
        // This connection is dropped with its socket; the next may fare better.
      }
    }
    accept();
  });
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpServer::~HttpServer() {
  stop();
  if (impl_->io_thread.joinable()) impl_->io_thread.join();
  // Sessions waiting for an answer go while the I/O context still exists.
  impl_->queue.clear();
}

Outcome<std::unique_ptr<HttpServer>> HttpServer::bind(std::uint16_t port, ServerLimits limits) {
  auto impl = std::make_unique<Impl>(limits);
  auto acceptor = open_loopback_listener(impl->io, port);
  if (!acceptor) return fail(acceptor.error());
  impl->acceptor.emplace(std::move(*acceptor));
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

std::uint16_t HttpServer::port() const { return impl_->acceptor->local_endpoint().port(); }

void HttpServer::serve(const RequestHandler& handler, const AdmissionHook& admit) {
  Impl& s = *impl_;
  s.admit = admit;
  s.accept();
  s.io_thread = std::thread([&s] {
    for (;;) {
      try {
        s.io.run();
        return;
      } catch (const std::bad_alloc&) {
        // The handler that ran out was unwound, and with it the one
        // connection it served (nothing else holds a session); go on.
      }
    }
  });
  for (;;) {
    Pending pending;
    {
      std::unique_lock lock(s.mutex);
      s.ready.wait(lock, [&s] { return s.stopped || !s.queue.empty(); });
      if (s.stopped) break;
      pending = std::move(s.queue.front());
      s.queue.pop_front();
    }
    try {
      HttpResponse answer;
      try {
        answer = handler(pending.request);
      } catch (const std::bad_alloc&) {
        pending.request = HttpRequest{};
        answer = json_response(500, pending.cors_origin, "{\"error\":\"memoria insuficiente\"}");
      }
      pending.request = HttpRequest{};  // the body may be large; it is done with
      // Only the I/O thread holds the session from here on.
      net::post(s.io, [answer = std::move(answer), meta = std::move(pending)]() mutable {
        auto session = std::move(meta.session);
        session->respond(std::move(answer), meta.reply);
      });
    } catch (const std::bad_alloc&) {
      // Not even the small answer fitted: the request goes unanswered.
    }
  }
  s.io.stop();
  s.io_thread.join();
}

void HttpServer::stop() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopped = true;
  }
  impl_->ready.notify_all();
}

}  // namespace zunel
