#pragma once
// The loopback HTTP/1.1 server. Sockets are read and written on one I/O
// thread, the one that calls serve().
//
// Each request is first admitted on the I/O thread when its header is
// complete: it is answered there and then, or its body is read within the
// bound the admission gives and within the budget shared by all bodies in
// flight. Once the body is read the admission's handler judges the request,
// still on the I/O thread: it answers at once, or hands over work for a
// lane (a printer's, or a service's such as the store's), which runs it on
// the lane's thread after the lane's earlier work, while every other lane
// and the I/O thread go on. Running out of memory costs one request or one
// connection, never the server.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "base/outcome.h"
#include "printing/print_body_bound.h"
#include "server/http_message.h"
#include "server/lanes.h"

namespace zunel {

// Bounds that keep a misbehaving page or local program from exhausting the
// agent's memory or connections.
struct ServerLimits {
  std::size_t max_body_bytes = PRINT_BODY_MAX_BYTES;  // for any one body, whatever the admission allows
  // For all bodies being received or waiting to be handled, together. A body
  // with a declared length is charged that length when its header is
  // complete; a chunked body is charged as it grows, whether it is kept as
  // text or handed to a consumer. Over it: 503 {"error":"agente ocupado"}
  // with "Retry-After: 1" (and the admission's CORS origin), and the
  // connection closes. The charge is returned when the request is answered or its
  // connection ends.
  std::size_t max_bodies_in_flight = 192u << 20;
  std::chrono::milliseconds first_byte_timeout{2'000};  // from connect to the first byte
  std::chrono::milliseconds header_timeout{10'000};     // from the first byte to the full header
  std::chrono::milliseconds idle_timeout{30'000};       // between requests on one connection
  std::chrono::milliseconds body_timeout{120'000};      // to receive a whole body
  // Connections being read, idle between requests or being answered. A
  // request whose work waits or runs in a lane gives its slot back until its
  // answer is ready (the lanes bound those), so waiting jobs never crowd out
  // a ping or a preflight. When every slot is taken, a new connection closes
  // the one that has been idle longest (waiting between requests for the
  // next one's first byte); when none is idle, it is served beyond the slots,
  // up to this many again: its one request is answered if that needs no
  // body and no lane (ping, the preflight, the gates' refusals), otherwise
  // 503 {"error":"agente ocupado"} with "Retry-After: 1"; then it closes.
  std::size_t max_connections = 64;

  // Printer lanes: over either bound, 503 {"error":"agente ocupado"} with
  // "Retry-After: 1". A waiting job keeps its body's charge on the budget.
  LaneLimits printer_lanes;
  // Work waiting in one service lane; over it, the same 503.
  std::size_t max_waiting_service_work = 32;
  // A job that has not started this long after it was accepted is answered
  // 503 ({"error":"impresora ocupada"} in a printer's lane) and never runs.
  std::chrono::milliseconds lane_start_deadline{60'000};
  // After an answer sent before the request's body was read (the client may
  // still be writing it), the rest is read and dropped for up to this long
  // and this many bytes before the connection closes, so that a client that
  // writes its whole body before reading sees the answer, not a reset. The
  // bytes cover twice the largest body any route takes (a print body), so a client
  // that sends a body somewhat over it still reads its 413; on loopback that
  // much is drained well within the time.
  std::chrono::milliseconds linger_timeout{10'000};
  std::size_t linger_bytes = 2 * PRINT_BODY_MAX_BYTES;
};

// Admits one request on the I/O thread; it sees the request without its
// body. The body consumer it may choose and its handler also run on the I/O
// thread. A std::bad_alloc the admission throws closes that one connection.
using AdmissionHook = std::function<Admission(const HttpRequest& head)>;

class HttpServer {
 public:
  // Binds 127.0.0.1:`port` (0 picks a free port) exclusively. The error is
  // the operating system's text.
  [[nodiscard]] static Outcome<std::unique_ptr<HttpServer>> bind(std::uint16_t port,
                                                                 ServerLimits limits = {});
  // A server without a listener of its own: it serves only the connections
  // handed to it (serve_handed), such as those another process accepted
  // and passed on.
  [[nodiscard]] static std::unique_ptr<HttpServer> without_listener(ServerLimits limits = {});
  ~HttpServer();

  // The listener's port; 0 for a server without one.
  std::uint16_t port() const;

  // Serves a connected socket accepted elsewhere exactly as one its own
  // listener accepted: the same slots, admission, gates and lanes. Callable
  // from any thread; the socket is taken over on the I/O thread. Best made
  // in io_context(): from another I/O context its descriptor is released
  // and adopted, which POSIX systems allow and Windows only from 8.1 (not
  // Wine). A stopping server closes it unanswered.
  void serve_handed(boost::asio::ip::tcp::socket socket);

  // The server's I/O context, for making the sockets handed to it; it is
  // run only by serve().
  boost::asio::io_context& io_context();

  // Runs the server's I/O on the calling thread until stop(). Call once.
  void serve(const AdmissionHook& admit);

  // Makes serve() return; callable from any thread. Work running in a lane
  // ends first; work still waiting is dropped unanswered.
  void stop();

  // The agent's orderly stop; callable from any thread, once or more. Takes
  // no new connection, answers work still waiting in a lane (and any handed
  // over from now on) 503 {"error":"agente ocupado"} without running it, and
  // makes serve() return once the work running in a lane has ended (its
  // answer written and its work after the answer done), or after `grace`
  // when it has not: then each request whose work still runs is answered
  // 503 "agent_stopped" first (given up to a second to go out).
  void shut_down(std::chrono::milliseconds grace);

  // After serve() returned from shut_down(): whether lane work was still
  // running then (destroying the server waits for it to end).
  bool work_outlived_grace() const;

 private:
  struct Impl;
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace zunel
