#pragma once
// One connection of the HTTP server, on its I/O thread: the requests' framing
// (the header, its admission, the body within its bound and the budget of
// bodies in flight, the answer as one buffer, keep-alive), the handing of
// lane work to the lanes, and the linger after an early answer.

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

#include "server/body_budget.h"
#include "server/http_server.h"
#include "server/lane_dispatch.h"
#include "server/session_slots.h"

namespace zunel {

// What the connections of one server share. Owned by the server; it
// outlives every connection, even those the I/O context ends as it is
// destroyed.
struct Connections {
  explicit Connections(const ServerLimits& l)
      : limits(l), slots(l.max_connections), bodies(l.max_bodies_in_flight) {}

  const ServerLimits limits;
  AdmissionHook admit;
  SessionSlots slots;
  std::atomic<std::size_t> overflow{0};  // connections served beyond the slots
  BodyBudget bodies;
  // Requests handed to a lane whose answer has not been written yet.
  std::atomic<std::size_t> lane_requests{0};
  // On the I/O thread, each time an answer written brings them to none.
  std::function<void()> lane_answers_written;
  // The requests handed to a lane, by number: each cuts its own short.
  std::map<std::uint64_t, std::function<void()>> lane_cuts;
  std::uint64_t next_lane_request = 0;
};

// On the I/O thread, when a stopping server's grace has run out: every
// request whose lane work is still running is answered 503 "agent_stopped"
// and closed; the work's own answer, if it ever comes, is dropped.
void cut_lane_requests(Connections& shared);

// Serves a connection just accepted: in a slot (closing the connection idle
// longest when the server is full), or beyond the slots as one request,
// while fewer than `max_connections` are; otherwise it closes unanswered.
// A std::bad_alloc drops this one connection.
void serve_connection(boost::asio::ip::tcp::socket socket, Connections& shared, LaneDispatch& lanes);

}  // namespace zunel
