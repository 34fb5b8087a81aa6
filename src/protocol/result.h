// A small value-or-error type: operations return it instead of throwing.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace zelta {

/// Tag that carries an error value into a Result.
template <class E>
struct Failure {
  E error;
};

/// Builds a failure; `return fail("text");` converts into any Result<T>.
inline Failure<std::string> fail(std::string message) { return {std::move(message)}; }

/// Result<T, E> holds either a T or an E. It must be inspected.
template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <class F>
  Result(Failure<F> failure)  // NOLINT
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

/// Result of an operation that yields nothing on success.
struct Ok {};
template <class E = std::string>
using Status = Result<Ok, E>;

}  // namespace zelta
