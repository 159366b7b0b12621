#pragma once
// A value or an error: the result of every operation that can fail across a
// module boundary. No exceptions cross those boundaries. The error is an
// Error (a text) unless the operation names its own type, for a caller that
// needs more than a text (an OS code, a failure kind).

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace zunel {

// The default error of an Outcome: a text meant for the caller, who decides
// what (if anything) the user sees.
struct Error {
  std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

namespace outcome_detail {
// What error() gives: the text of an Error, any other error as it is.
inline const std::string& view(const Error& error) { return error.text; }
template <typename E>
const E& view(const E& error) {
  return error;
}
}  // namespace outcome_detail

template <typename T, typename E = Error>
class [[nodiscard]] Outcome {
  static_assert(!std::is_same_v<T, E>, "a value and an error of one type cannot be told apart");

 public:
  Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Outcome(E error) : v_(std::in_place_index<1>, std::move(error)) {}

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

  // REQUIRES: !ok(). The text for Error, the error itself otherwise.
  const auto& error() const { return outcome_detail::view(std::get<1>(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success or an error.
template <typename E>
class [[nodiscard]] Outcome<void, E> {
 public:
  Outcome() = default;
  Outcome(E error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  // REQUIRES: !ok(). The text for Error, the error itself otherwise.
  const auto& error() const { return outcome_detail::view(*error_); }

 private:
  std::optional<E> error_;
};

using Status = Outcome<void>;

}  // namespace zunel
