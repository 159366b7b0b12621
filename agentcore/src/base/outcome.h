#pragma once
// A value or an error text: the result of every operation that can fail
// across a module boundary. No exceptions cross those boundaries.

#include <string>
#include <utility>
#include <variant>

namespace zunel {

// The error side of an Outcome: a text meant for the caller, who decides
// what (if anything) the user sees.
struct Error {
  std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

template <typename T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Outcome(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok().
  const std::string& error() const { return std::get<1>(v_).text; }

 private:
  std::variant<T, Error> v_;
};

// Success or an error text.
template <>
class [[nodiscard]] Outcome<void> {
 public:
  Outcome() = default;
  Outcome(Error error) : failed_(true), error_(std::move(error.text)) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  // REQUIRES: !ok().
  const std::string& error() const { return error_; }

 private:
  bool failed_ = false;
  std::string error_;
};

using Status = Outcome<void>;

}  // namespace zunel
