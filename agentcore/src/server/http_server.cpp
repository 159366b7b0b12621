#include "server/http_server.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "base/loopback_listener.h"

namespace zunel {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

class Session;

// What the serving thread needs to answer one request on its connection.
struct Pending {
  HttpRequest request;
  std::shared_ptr<Session> session;
  unsigned version = 11;
  bool keep_alive = false;
  bool head = false;
};

bool is_parse_error(const beast::error_code& ec) {
  static const auto& http_category = http::make_error_code(http::error::bad_chunk).category();
  return ec.category() == http_category && ec != http::error::end_of_stream &&
         ec != http::error::partial_message;
}

}  // namespace

struct HttpServer::Impl {
  explicit Impl(ServerLimits l) : limits(l) {}

  ServerLimits limits;
  // Declared before the I/O context: sessions count themselves out while the
  // context destroys them.
  std::atomic<std::size_t> connections{0};
  net::io_context io{1};
  std::optional<tcp::acceptor> acceptor;
  std::thread io_thread;

  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Pending> queue;
  bool stopped = false;

  void accept();
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
      : stream_(std::move(socket)), server_(server) {
    ++server_.connections;
  }
  ~Session() { --server_.connections; }

  // The first request's header must arrive within the header time-out of the
  // connect.
  void start() { read_header(); }

  // Runs on the I/O thread with the serving thread's answer.
  void respond(HttpResponse answer, const Pending& meta) {
    auto res = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), meta.version);
    for (auto& [name, value] : answer.headers) res->insert(name, value);
    if (answer.status == 204 || answer.status == 304 || answer.status < 200) {
      // No body and no length on these.
    } else if (meta.head) {
      res->content_length(answer.body.size());
    } else {
      res->body() = std::move(answer.body);
      res->prepare_payload();
    }
    res->keep_alive(meta.keep_alive);
    write(res, meta.keep_alive);
  }

 private:
  template <class Message>
  void write(std::shared_ptr<Message> message, bool keep_alive) {
    stream_.expires_after(server_.limits.idle_timeout);
    http::async_write(stream_, *message,
                      [self = shared_from_this(), message, keep_alive](beast::error_code ec,
                                                                       std::size_t) {
                        if (ec || !keep_alive) return self->close();
                        self->wait_next();
                      });
  }

  // Between requests: up to the idle time-out for the first byte, then the
  // header time-out for the rest of the header.
  void wait_next() {
    if (buffer_.size() > 0) return read_header();
    stream_.expires_after(server_.limits.idle_timeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->read_header();
                            });
  }

  void read_header() {
    parser_.emplace();
    parser_->body_limit(server_.limits.max_body_bytes);
    stream_.expires_after(server_.limits.header_timeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->on_header(ec);
                            });
  }

  void on_header(beast::error_code ec) {
    // A declared length over the limit ends the header read with this error,
    // after the whole header was parsed.
    if (ec == http::error::body_limit) return hand_over(BodyState::TooLarge);
    if (ec) {
      if (is_parse_error(ec)) return bad_request();
      return close();  // time-out, or the client went away
    }
    if (parser_->is_done()) return hand_over(BodyState::Complete);
    const auto length = parser_->content_length();
    if (length && *length > server_.limits.max_body_bytes) return hand_over(BodyState::TooLarge);
    const auto& expect = parser_->get()[http::field::expect];
    if (beast::iequals(expect, "100-continue")) {
      auto interim = std::make_shared<http::response<http::empty_body>>(
          http::status::continue_, parser_->get().version());
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

  void read_body() {
    stream_.expires_after(server_.limits.body_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (!ec) return self->hand_over(BodyState::Complete);
                       if (ec == http::error::body_limit) return self->hand_over(BodyState::TooLarge);
                       if (is_parse_error(ec)) return self->hand_over(BodyState::Unreadable);
                       self->close();
                     });
  }

  void hand_over(BodyState body_state) {
    stream_.expires_never();  // a slow printer may take its time
    auto& req = parser_->get();
    Pending pending;
    pending.request.method = std::string(req.method_string());
    pending.request.target = std::string(req.target());
    for (const auto& field : req) {
      pending.request.headers.emplace_back(std::string(field.name_string()),
                                           std::string(field.value()));
    }
    pending.request.body_state = body_state;
    if (body_state == BodyState::Complete) pending.request.body = std::move(req.body());
    pending.version = req.version();
    // After an unread or broken body the connection's framing is lost.
    pending.keep_alive = req.keep_alive() && body_state == BodyState::Complete;
    pending.head = req.method() == http::verb::head;
    pending.session = shared_from_this();
    parser_.reset();
    server_.enqueue(std::move(pending));
  }

  void bad_request() {
    auto res = std::make_shared<http::response<http::string_body>>(http::status::bad_request, 11);
    res->insert("Content-Type", "application/json; charset=utf-8");
    res->insert("Cache-Control", "no-store");
    res->body() = "{\"error\":\"petición mal formada\"}";
    res->prepare_payload();
    res->keep_alive(false);
    write(res, false);
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpServer::Impl& server_;
};

}  // namespace

void HttpServer::Impl::accept() {
  acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      if (connections.load() >= limits.max_connections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(std::move(socket), *this)->start();
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

void HttpServer::serve(const RequestHandler& handler) {
  Impl& s = *impl_;
  s.accept();
  s.io_thread = std::thread([&s] { s.io.run(); });
  for (;;) {
    Pending pending;
    {
      std::unique_lock lock(s.mutex);
      s.ready.wait(lock, [&s] { return s.stopped || !s.queue.empty(); });
      if (s.stopped) break;
      pending = std::move(s.queue.front());
      s.queue.pop_front();
    }
    HttpResponse answer = handler(pending.request);
    pending.request = HttpRequest{};  // the body may be large; it is done with
    auto session = pending.session;
    net::post(s.io, [session, answer = std::move(answer), meta = std::move(pending)]() mutable {
      session->respond(std::move(answer), meta);
    });
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
