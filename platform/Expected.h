#pragma once

// A value or an error, for operations that can fail. The caller must look at
// the result: there is no implicit conversion to the value.

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform {

template <typename E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename G>
  Expected(Unexpected<G> error) : state_(std::in_place_index<1>, std::move(error).error()) {}

  bool hasValue() const { return state_.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  T& value() & {
    assert(hasValue());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(hasValue());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(hasValue());
    return std::get<0>(std::move(state_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& {
    assert(!hasValue());
    return std::get<1>(state_);
  }
  E&& error() && {
    assert(!hasValue());
    return std::get<1>(std::move(state_));
  }

  template <typename U>
  T valueOr(U&& fallback) const& {
    return hasValue() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  std::variant<T, E> state_;
};

// Success without a value.
template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <typename G>
  Expected(Unexpected<G> error) : error_(std::in_place, std::move(error).error()) {}

  bool hasValue() const { return !error_.has_value(); }
  explicit operator bool() const { return hasValue(); }
  const E& error() const& {
    assert(!hasValue());
    return *error_;
  }
  E&& error() && {
    assert(!hasValue());
    return std::move(*error_);
  }

 private:
  std::optional<E> error_;
};

}  // namespace platform
