#pragma once
// The loopback HTTP/1.1 server. Sockets are read and written on one I/O
// thread of the server's own; every complete request is handed to the thread
// that calls serve(), which handles requests strictly one at a time, to
// completion, and takes the next only after the current one was answered.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/outcome.h"
#include "server/http_message.h"

namespace zunel {

// Bounds that keep a misbehaving page or local program from exhausting the
// agent's memory or connections.
struct ServerLimits {
  std::size_t max_body_bytes = 64u << 20;
  std::chrono::milliseconds header_timeout{10'000};  // from connect (or first byte) to full header
  std::chrono::milliseconds idle_timeout{30'000};    // between requests on one connection
  std::chrono::milliseconds body_timeout{120'000};   // to receive a whole body
  std::size_t max_connections = 64;
};

using RequestHandler = std::function<HttpResponse(const HttpRequest&)>;

class HttpServer {
 public:
  // Binds 127.0.0.1:`port` (0 picks a free port) exclusively. The error is
  // the operating system's text.
  [[nodiscard]] static Outcome<std::unique_ptr<HttpServer>> bind(std::uint16_t port,
                                                                 ServerLimits limits = {});
  ~HttpServer();

  std::uint16_t port() const;

  // Runs the server and handles every request on the calling thread until
  // stop(). Call once.
  void serve(const RequestHandler& handler);

  // Makes serve() return; callable from any thread.
  void stop();

  struct Impl;

 private:
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace zunel
