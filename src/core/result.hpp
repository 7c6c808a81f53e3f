// The one shape of a failure passed up as a value: a Result holds either
// what was asked for or the reason there is none. Unrecoverable conditions
// are not values (see failure.hpp); everything a caller is expected to
// handle, from a wire decode to opening a connection, comes back as this.
//
// Both sides convert implicitly, so `return value;` and `return error;` read
// naturally; a Result whose two types could be confused is refused at
// compile time.
#pragma once

#include <cassert>
#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrel {

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_convertible_v<E, T> && !std::is_convertible_v<T, E>,
                "a Result must tell its value from its error by type");

 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
    requires std::constructible_from<E, F&&> && (!std::constructible_from<T, F &&>)
  Result(F&& error) : state_(std::in_place_index<1>, std::forward<F>(error)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  // Only when has_value(); a debug build stops at the mistake.
  T& value() & noexcept {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  const T& value() const& noexcept {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  T&& value() && noexcept {
    assert(has_value());
    return std::move(*std::get_if<0>(&state_));
  }
  // Only when !has_value(); a debug build stops at the mistake.
  const E& error() const& noexcept {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }
  E&& error() && noexcept {
    assert(!has_value());
    return std::move(*std::get_if<1>(&state_));
  }

 private:
  std::variant<T, E> state_;
};

// Success without a value, or the reason for the failure.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
    requires std::constructible_from<E, F&&>
  Result(F&& error) : error_(std::in_place, std::forward<F>(error)) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  // Only when !has_value(); a debug build stops at the mistake.
  const E& error() const& noexcept {
    assert(!has_value());
    return *error_;
  }
  E&& error() && noexcept {
    assert(!has_value());
    return std::move(*error_);
  }

 private:
  std::optional<E> error_;
};

}  // namespace kestrel
