#pragma once
// Hands a request's lane work to its lane and answers the request: with what
// the work gives once it ran, or 503 without running it when the lanes are
// full, when it has not started by its start deadline, or when the server
// stops first. The server's I/O thread calls it and gets every answer.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "server/http_message.h"
#include "server/lanes.h"

namespace zunel {

struct LaneDispatchLimits {
  LaneLimits printer_lanes;
  std::size_t max_waiting_service_work = 32;  // in one service lane
  // When the work names no start deadline of its own.
  std::chrono::milliseconds start_deadline{60'000};
};

class LaneDispatch {
 public:
  // Called once per dispatched request, on the I/O thread, with its answer.
  using Respond = std::function<void(HttpResponse)>;

  // The service lanes: the store's, the printer list's and the memory
  // release's, with room.
  static constexpr std::size_t SERVICE_LANES = 8;

  // `io` must outlive this; the answers are posted to it.
  LaneDispatch(boost::asio::io_context& io, LaneDispatchLimits limits);
  LaneDispatch(const LaneDispatch&) = delete;
  LaneDispatch& operator=(const LaneDispatch&) = delete;

  // On the I/O thread. Queues `work` in its lane: then nothing is returned
  // and `respond` gets the answer later. Refused (503 "agente ocupado",
  // CORS for `cors`) when the lanes are full or the dispatch has stopped:
  // that answer is returned, and `respond` is never called. Work still
  // waiting at its start deadline is answered with its `not_started` answer
  // (by default 503 "impresora ocupada" in a printer's lane, "agente
  // ocupado" in a service lane) and never runs.
  [[nodiscard]] std::optional<HttpResponse> dispatch(LaneWork work, const std::optional<std::string>& cors,
                                                     Respond respond);

  // The server's own work in service lane `lane`; dropped when refused.
  void run_service(const std::string& lane, std::function<void()> work);

  // On the I/O thread: work still waiting, and any dispatched from now on,
  // is answered 503 "agente ocupado" and never runs.
  void stop();
  bool stopping() const { return stopping_; }

  // Dispatched work that has neither ended (its work after the answer
  // included) nor been withdrawn unrun; callable from any thread.
  std::size_t unfinished() const { return unfinished_; }
  // On the I/O thread, each time dispatched work ends or is withdrawn and
  // none is left unfinished.
  std::function<void()> on_all_finished;

 private:
  struct Queued;
  Lanes& lanes(LaneKind kind) { return kind == LaneKind::Printer ? printer_lanes_ : service_lanes_; }
  void await_start(const std::shared_ptr<Queued>& queued, LaneWork& work, Lanes::JobHandle handle);
  // On a lane's thread, once the work and its work after the answer ended.
  void work_ended() noexcept;
  void tell_if_all_finished();

  boost::asio::io_context& io_;
  const LaneDispatchLimits limits_;
  // Declared before the lanes, whose threads count it down until they end.
  std::atomic<std::size_t> unfinished_{0};
  Lanes printer_lanes_;
  Lanes service_lanes_;
  bool stopping_ = false;
  // The start deadlines of work waiting in a lane, by an id of their own;
  // stop() cancels them, so the work is answered at once.
  std::map<std::uint64_t, std::weak_ptr<Queued>> waiting_;
  std::uint64_t next_waiting_id_ = 0;
};

}  // namespace zunel
