#include "server/http_server.h"

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <new>
#include <optional>

#include "base/loopback_listener.h"
#include "base/socket_handover.h"
#include "server/lane_dispatch.h"
#include "server/session.h"

namespace zunel {
namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

struct HttpServer::Impl {
  explicit Impl(const ServerLimits& l)
      : connections(l),
        lanes(io, LaneDispatchLimits{.printer_lanes = l.printer_lanes,
                                     .max_waiting_service_work = l.max_waiting_service_work,
                                     .start_deadline = l.lane_start_deadline}) {
    connections.lane_answers_written = [this] { stop_when_idle(); };
    lanes.on_all_finished = [this] { stop_when_idle(); };
  }

  // Declared before the I/O context: sessions give back their slots and
  // charges, and count their lane requests, while the context destroys them.
  Connections connections;

  net::io_context io{1};
  std::optional<tcp::acceptor> acceptor;
  // A server without a listener has no pending accept: this keeps serve()
  // running until it is stopped.
  std::optional<net::executor_work_guard<net::io_context::executor_type>> no_listener_guard;
  // After a failed accept (out of descriptors or memory for now), the next
  // waits this long rather than spinning on the same failure.
  net::steady_timer accept_pause{io};
  static constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};

  // Declared after the I/O context, so destroyed before it: the work still
  // running ends while its answers can still be posted.
  LaneDispatch lanes;

  // The orderly stop, on the I/O thread; `work_outlived_grace` is read by
  // the caller of serve().
  net::steady_timer grace_timer{io};
  std::atomic<bool> work_outlived_grace{false};
  bool cut = false;  // the grace ran out: lane requests were answered "agent_stopped"
  static constexpr std::chrono::milliseconds CUT_ANSWERS_TIME{1000};

  void accept();
  void take_handed(tcp::socket socket);
  void begin_stop(std::chrono::milliseconds grace);

  // No lane work is waiting, running or being answered: a job's work after
  // its answer (its journal line) is part of it.
  bool idle() const { return connections.lane_requests == 0 && lanes.unfinished() == 0; }
  // A stopping server's last work ended, or, once the grace ran out, its
  // last answer was written: serve() may return.
  void stop_when_idle() {
    if (lanes.stopping() && (idle() || (cut && connections.lane_requests == 0))) io.stop();
  }
};

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
    serve_connection(std::move(socket), connections, lanes);
    accept();
  });
}

void HttpServer::Impl::take_handed(tcp::socket socket) {
  if (lanes.stopping()) {
    beast::error_code ignored;
    socket.close(ignored);
    return;
  }
  auto adopted = adopt_socket(std::move(socket), io);
  if (adopted) serve_connection(std::move(*adopted), connections, lanes);
}

void HttpServer::Impl::begin_stop(std::chrono::milliseconds grace) {
  if (lanes.stopping()) return;
  beast::error_code ignored;
  if (acceptor) acceptor->close(ignored);
  no_listener_guard.reset();
  lanes.stop();
  if (idle()) return io.stop();
  grace_timer.expires_after(grace);
  grace_timer.async_wait([this](beast::error_code ec) {
    if (ec) return;
    work_outlived_grace = !idle();
    // The pages still waiting learn that their work was cut, while their
    // answers take at most CUT_ANSWERS_TIME to go out.
    cut = true;
    cut_lane_requests(connections);
    if (connections.lane_requests == 0) return io.stop();
    grace_timer.expires_after(CUT_ANSWERS_TIME);
    grace_timer.async_wait([this](beast::error_code waited) {
      if (!waited) io.stop();
    });
  });
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

std::unique_ptr<HttpServer> HttpServer::without_listener(ServerLimits limits) {
  auto impl = std::make_unique<Impl>(limits);
  impl->no_listener_guard.emplace(impl->io.get_executor());
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

std::uint16_t HttpServer::port() const {
  if (!impl_->acceptor) return 0;
  return impl_->acceptor->local_endpoint().port();
}

net::io_context& HttpServer::io_context() { return impl_->io; }

void HttpServer::serve_handed(tcp::socket socket) {
  net::post(impl_->io,
            [impl = impl_.get(), handed = std::make_shared<tcp::socket>(std::move(socket))]() mutable {
              impl->take_handed(std::move(*handed));
            });
}

void HttpServer::serve(const AdmissionHook& admit) {
  Impl& s = *impl_;
  s.connections.admit = admit;
  if (s.acceptor) s.accept();
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
