#pragma once
// The budget shared by all request bodies being received or waiting to be
// handled, and one connection's charge on it. A body with a declared length
// is charged that length whole before it is read; a chunked body is charged
// as it grows, in steps that double, never past the body's bound. The charge
// is returned when the request is answered or its connection ends.
//
// Thread-safe: a connection may end on any thread.

#include <atomic>
#include <cstddef>
#include <optional>

namespace zunel {

class BodyBudget {
 public:
  explicit BodyBudget(std::size_t limit) : limit_(limit) {}

  // True, once, when no body is charged and at least `bytes` were charged
  // since the last time it was: a burst of bodies has passed.
  bool burst_passed(std::size_t bytes);

 private:
  friend class BodyCharge;
  const std::size_t limit_;
  std::atomic<std::size_t> in_flight_{0};
  std::atomic<std::size_t> charged_since_burst_{0};
};

class BodyCharge {
 public:
  explicit BodyCharge(BodyBudget& budget) : budget_(budget) {}
  BodyCharge(const BodyCharge&) = delete;
  BodyCharge& operator=(const BodyCharge&) = delete;
  ~BodyCharge() { release(); }

  // A new body of at most `bound` bytes: its `declared` length, when it has
  // one (at most `bound`), is charged whole now. False, and nothing charged,
  // when the budget cannot take it.
  [[nodiscard]] bool begin(std::size_t bound, std::optional<std::size_t> declared);

  // A chunk of `size` bytes of a chunked body arrives (the body stays within
  // its bound). False, and nothing more charged, when the budget cannot
  // take the next step.
  [[nodiscard]] bool add_chunk(std::size_t size);

  // What the body is charged now: room it may fill without a new charge.
  std::size_t charged() const { return charged_; }

  void release();

 private:
  [[nodiscard]] bool raise_to(std::size_t total);

  BodyBudget& budget_;
  std::size_t bound_ = 0;
  std::size_t received_ = 0;  // of a chunked body, so far
  std::size_t charged_ = 0;
};

}  // namespace zunel
