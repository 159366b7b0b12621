#include "server/lane_dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "server/answers.h"

namespace zunel {
namespace {

using namespace std::chrono_literals;

HttpResponse text(std::string body) { return HttpResponse{200, {}, std::move(body)}; }

// Work that holds its lane until the test lets it go (at the latest when the
// test ends, before the dispatch waits for it).
class HeldWork {
 public:
  ~HeldWork() { let_go(); }
  std::function<HttpResponse()> run(std::string answer) {
    return [this, released = released_, answer] {
      ++started_;
      released.wait();
      return text(answer);
    };
  }
  // Until `n` such works have started, or 10 s.
  void await_started(int n) {
    for (int i = 0; i < 1000 && started_ < n; ++i) std::this_thread::sleep_for(10ms);
  }
  void let_go() {
    if (!let_go_) released_promise_.set_value();
    let_go_ = true;
  }

 private:
  std::promise<void> released_promise_;
  std::shared_future<void> released_ = released_promise_.get_future().share();
  bool let_go_ = false;
  std::atomic<int> started_{0};
};

// The dispatch on an I/O context the test runs, and the answers by name.
struct Dispatching {
  explicit Dispatching(LaneDispatchLimits limits) : dispatch(io, limits) {}

  std::optional<HttpResponse> send(const std::string& name, LaneWork work) {
    work.unrun = [this, name](const HttpResponse& answer) { unrun[name] = answer.status; };
    return dispatch.dispatch(std::move(work), std::nullopt,
                             [this, name](HttpResponse answer) { answers.emplace(name, std::move(answer)); });
  }
  // Runs the I/O context until `n` answers have come, or 10 s.
  void await_answers(std::size_t n) {
    for (int i = 0; i < 200 && answers.size() < n; ++i) io.run_for(50ms);
  }

  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> busy{io.get_executor()};
  LaneDispatch dispatch;
  std::map<std::string, HttpResponse> answers;
  std::map<std::string, unsigned> unrun;  // told to the work that never ran
};

TEST(LaneDispatch, WorkThatHasNotStartedByItsDeadlineIsAnsweredUnrunOthersWithTheirResult) {
  Dispatching d({.printer_lanes = {}, .max_waiting_service_work = 1, .start_deadline = 100ms});
  HeldWork held;
  bool late_ran = false;
  EXPECT_FALSE(d.send("first", LaneWork{"p", LaneKind::Printer, held.run("first"), 10s}));
  EXPECT_FALSE(d.send("late", LaneWork{"p", LaneKind::Printer, [&] {
                                         late_ran = true;
                                         return text("");
                                       }}));
  EXPECT_FALSE(d.send("own deadline", LaneWork{"p", LaneKind::Printer, [] { return text(""); }, 10ms,
                                               [] { return text("unknown"); }}));
  EXPECT_FALSE(d.send("store", LaneWork{"s", LaneKind::Service, held.run("store"), 10s}));
  held.await_started(2);  // waiting no more
  EXPECT_FALSE(d.send("store waits", LaneWork{"s", LaneKind::Service, [] { return text("saved"); }}));
  const auto refused = d.send("store full", LaneWork{"s", LaneKind::Service, [] { return text(""); }});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->body, agent_busy_answer(std::nullopt).body);
  d.await_answers(3);
  held.let_go();
  d.await_answers(5);
  EXPECT_EQ(d.answers.size(), 5u) << "the refused one is answered by its return alone";
  EXPECT_EQ(d.answers["first"].body, "first");
  EXPECT_EQ(d.answers["late"].body, printer_busy_answer(std::nullopt).body);
  EXPECT_FALSE(late_ran);
  EXPECT_EQ(d.answers["own deadline"].body, "unknown");
  EXPECT_EQ(d.answers["store"].body, "store");
  EXPECT_EQ(d.answers["store waits"].body, agent_busy_answer(std::nullopt).body)
      << "a service lane's work answers agente ocupado by default";
  EXPECT_EQ(d.unrun, (std::map<std::string, unsigned>{
                         {"late", 503}, {"own deadline", 200}, {"store full", 503}, {"store waits", 503}}));
}

TEST(LaneDispatch, StoppingAnswersWaitingWorkBusyAndRefusesNewWork) {
  Dispatching d({.printer_lanes = {}, .max_waiting_service_work = 32, .start_deadline = 60s});
  HeldWork held;
  bool waiting_ran = false;
  EXPECT_FALSE(d.send("running", LaneWork{"p", LaneKind::Printer, held.run("printed")}));
  EXPECT_FALSE(d.send("waiting", LaneWork{"p", LaneKind::Printer, [&] {
                                            waiting_ran = true;
                                            return text("");
                                          }}));
  held.await_started(1);
  d.dispatch.stop();
  EXPECT_TRUE(d.dispatch.stopping());
  const auto refused = d.send("after", LaneWork{"q", LaneKind::Printer, [] { return text(""); }});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503u);
  d.await_answers(1);
  EXPECT_EQ(d.answers["waiting"].body, agent_busy_answer(std::nullopt).body);
  held.let_go();
  d.await_answers(2);
  EXPECT_EQ(d.answers["running"].body, "printed") << "running work is answered with its result";
  EXPECT_FALSE(waiting_ran);
  EXPECT_EQ(d.unrun, (std::map<std::string, unsigned>{{"after", 503}, {"waiting", 503}}));
}

}  // namespace
}  // namespace zunel
