#pragma once

// Result<T, E>: the value of an operation that can fail. Errors are values in this library;
// nothing that can fail throws across a layer. The type is [[nodiscard]], so a dropped error
// shows up as a compiler warning.
//
//   Result<Entry, SegmentError> read(...);
//   auto entry = read(...);
//   if (!entry) return EngineError{EngineError::Segment{std::move(entry).error()}};
//   use(*entry);
//
// A function that returns an error converts implicitly from the error type, and a function that
// returns a value converts from the value type, so both `return value;` and `return error;` work
// as long as T and E are different types. Where they are not, use `Err(e)`.

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessaradb {

// Tags an error explicitly, for the rare Result whose value and error types could be confused.
template <typename E>
struct Err {
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  template <typename U = T,
            std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                 !std::is_same_v<std::remove_cvref_t<U>, Result> &&
                                 !std::is_same_v<std::remove_cvref_t<U>, E>,
                             int> = 0>
  Result(U&& value) : storage_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT
  Result(E error) : storage_(std::in_place_index<1>, std::move(error)) {}            // NOLINT
  template <typename F>
  Result(Err<F> error) : storage_(std::in_place_index<1>, std::move(error.error)) {}  // NOLINT

  bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { assert(has_value()); return std::get<0>(storage_); }
  const T& value() const& { assert(has_value()); return std::get<0>(storage_); }
  T&& value() && { assert(has_value()); return std::get<0>(std::move(storage_)); }

  E& error() & { assert(!has_value()); return std::get<1>(storage_); }
  const E& error() const& { assert(!has_value()); return std::get<1>(storage_); }
  E&& error() && { assert(!has_value()); return std::get<1>(std::move(storage_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> storage_;
};

// Result of an operation that yields nothing on success.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT
  template <typename F>
  Result(Err<F> error) : error_(std::move(error.error)) {}  // NOLINT

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }

  E& error() & { assert(error_); return *error_; }
  const E& error() const& { assert(error_); return *error_; }
  E&& error() && { assert(error_); return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace tessaradb
