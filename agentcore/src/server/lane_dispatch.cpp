#include "server/lane_dispatch.h"

#include <boost/asio/post.hpp>
#include <new>
#include <utility>

#include "server/answers.h"

namespace zunel {

namespace net = boost::asio;

// A request's work from its dispatch to its answer.
struct LaneDispatch::Queued {
  Queued(net::io_context& io, Respond r, std::optional<std::string> c)
      : start_deadline(io), respond(std::move(r)), cors(std::move(c)) {}
  net::steady_timer start_deadline;
  Respond respond;
  const std::optional<std::string> cors;
};

namespace {

// On the lane's thread. Never throws: an answer that cannot even be posted
// leaves the connection to close with its last owner.
template <class Queued>
void run_and_answer(net::io_context& io, const std::shared_ptr<Queued>& queued,
                    std::function<HttpResponse()>& run) noexcept {
  try {
    HttpResponse answer;
    try {
      answer = run();
    } catch (const std::bad_alloc&) {
      answer = out_of_memory_answer(queued->cors);
    }
    run = nullptr;  // what it held (a job's bytes) goes before the answer is sent
    net::post(io, [queued, answer = std::move(answer)]() mutable {
      queued->start_deadline.cancel();
      queued->respond(std::move(answer));
    });
  } catch (const std::bad_alloc&) {
  }
}

// On the lane's thread, once the answer is on its way; like the work, it
// must not throw, and running out of memory costs only what it would do.
void run_after_answer(const std::function<void()>& after) noexcept {
  try {
    after();
  } catch (const std::bad_alloc&) {
  }
}

// Tells work that never ran its answer; running out of memory costs only
// what it would have written.
void tell_unrun(const std::function<void(const HttpResponse&)>& unrun, const HttpResponse& answer) noexcept {
  if (!unrun) return;
  try {
    unrun(answer);
  } catch (const std::bad_alloc&) {
  }
}

// Work withdrawn before it started: its `not_started` answer, or 503
// "agente ocupado" when the dispatch stopped.
template <class Queued>
void answer_unstarted(Queued& queued, bool stopped, const std::function<HttpResponse()>& not_started,
                      const std::function<void(const HttpResponse&)>& unrun) {
  HttpResponse answer;
  try {
    answer = stopped ? agent_busy_answer(queued.cors) : not_started();
  } catch (const std::bad_alloc&) {
    answer = out_of_memory_answer(queued.cors);
  }
  tell_unrun(unrun, answer);
  queued.respond(std::move(answer));
}

}  // namespace

LaneDispatch::LaneDispatch(net::io_context& io, LaneDispatchLimits limits)
    : io_(io),
      limits_(limits),
      printer_lanes_(limits.printer_lanes),
      service_lanes_(LaneLimits{.max_busy_lanes = SERVICE_LANES,
                                .max_waiting_per_lane = limits.max_waiting_service_work}) {}

std::optional<HttpResponse> LaneDispatch::dispatch(LaneWork work, const std::optional<std::string>& cors,
                                                   Respond respond) {
  if (stopping_) {
    HttpResponse answer = agent_busy_answer(cors);
    tell_unrun(work.unrun, answer);
    return answer;
  }
  auto queued = std::make_shared<Queued>(io_, std::move(respond), cors);
  ++unfinished_;  // before its lane can end it
  auto submitted = lanes(work.kind).submit(
      work.lane,
      [this, queued, run = std::move(work.run), after = std::move(work.after_answer)]() mutable {
        run_and_answer(io_, queued, run);
        if (after) run_after_answer(after);
        work_ended();
      });
  if (!submitted) {
    --unfinished_;
    HttpResponse answer = agent_busy_answer(cors);
    tell_unrun(work.unrun, answer);
    return answer;
  }
  await_start(queued, work, std::move(*submitted));
  return std::nullopt;
}

// The work's start deadline: when it passes, or the dispatch stops, before
// the work has started, the work is withdrawn unrun and answered.
void LaneDispatch::await_start(const std::shared_ptr<Queued>& queued, LaneWork& work,
                               Lanes::JobHandle handle) {
  const std::uint64_t id = next_waiting_id_++;
  waiting_.emplace(id, queued);
  auto not_started = std::move(work.not_started);
  if (!not_started) {
    not_started = [printer = work.kind == LaneKind::Printer, cors = queued->cors] {
      return printer ? printer_busy_answer(cors) : agent_busy_answer(cors);
    };
  }
  queued->start_deadline.expires_after(work.start_within.value_or(limits_.start_deadline));
  queued->start_deadline.async_wait([this, queued, &lanes = lanes(work.kind), handle = std::move(handle), id,
                                     not_started = std::move(not_started),
                                     unrun = std::move(work.unrun)](boost::system::error_code ec) {
    waiting_.erase(id);
    // Cancelled: the work was answered, or the dispatch stopped.
    if ((ec && !stopping_) || !lanes.withdraw(handle)) return;
    --unfinished_;
    answer_unstarted(*queued, stopping_, not_started, unrun);
    tell_if_all_finished();
  });
}

void LaneDispatch::work_ended() noexcept {
  --unfinished_;
  try {
    net::post(io_, [this] { tell_if_all_finished(); });
  } catch (const std::bad_alloc&) {
    // Whoever waits for the work sees the count when its own time is up.
  }
}

void LaneDispatch::tell_if_all_finished() {
  if (unfinished_ == 0 && on_all_finished) on_all_finished();
}

void LaneDispatch::run_service(const std::string& lane, std::function<void()> work) {
  (void)service_lanes_.submit(lane, std::move(work));
}

void LaneDispatch::stop() {
  stopping_ = true;
  // Each cancelled deadline answers its work, which never runs.
  for (const auto& [id, queued] : waiting_) {
    if (auto live = queued.lock()) live->start_deadline.cancel();
  }
}

}  // namespace zunel
