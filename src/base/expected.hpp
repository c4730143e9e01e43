// fendral::expected and fendral::unexpected: the standard library's where it has them with their
// monadic operations, and otherwise a small stand-in with the same meaning for what the sources
// use. libstdc++ 12 has <expected> without transform_error; clang 16 with libstdc++ gets no
// <expected> at all, since libstdc++ hides it from a compiler whose concepts support it considers
// incomplete.
#pragma once

#include <version>

#if defined(__cpp_lib_expected) && __cpp_lib_expected >= 202211L

#include <expected>

namespace fendral {

using std::expected;
using std::unexpected;

}  // namespace fendral

#else

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace fendral {

template <class E>
class unexpected {
 public:
  template <class Error = E>
    requires(!std::same_as<std::remove_cvref_t<Error>, unexpected> &&
             std::constructible_from<E, Error>)
  constexpr explicit unexpected(Error&& error) : error_(std::forward<Error>(error)) {}

  constexpr const E& error() const& noexcept { return error_; }
  constexpr E& error() & noexcept { return error_; }
  constexpr const E&& error() const&& noexcept { return std::move(error_); }
  constexpr E&& error() && noexcept { return std::move(error_); }

 private:
  E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

namespace detail {
template <class>
inline constexpr bool is_unexpected = false;
template <class E>
inline constexpr bool is_unexpected<unexpected<E> > = true;
}  // namespace detail

// Either a T or an E. Copying and moving follow T and E; there is no value() that throws, since
// every caller tests before it takes. A result may not be dropped unlooked at.
template <class T, class E>
class [[nodiscard]] expected {
 public:
  using value_type = T;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected()
    requires std::default_initializable<T>
      : has_value_(true) {
    std::construct_at(&value_);
  }

  template <class U = T>
    requires(!std::same_as<std::remove_cvref_t<U>, expected> &&
             !std::same_as<std::remove_cvref_t<U>, std::in_place_t> &&
             !detail::is_unexpected<std::remove_cvref_t<U> > && std::constructible_from<T, U>)
  constexpr explicit(!std::is_convertible_v<U, T>) expected(U&& value) : has_value_(true) {
    std::construct_at(&value_, std::forward<U>(value));
  }

  template <class G>
    requires std::constructible_from<E, const G&>
  constexpr explicit(!std::is_convertible_v<const G&, E>) expected(const unexpected<G>& failure)
      : has_value_(false) {
    std::construct_at(&error_, failure.error());
  }

  template <class G>
    requires std::constructible_from<E, G>
  constexpr explicit(!std::is_convertible_v<G, E>) expected(unexpected<G>&& failure)
      : has_value_(false) {
    std::construct_at(&error_, std::move(failure).error());
  }

  constexpr expected(const expected& other)
    requires std::copy_constructible<T> && std::copy_constructible<E>
      : has_value_(other.has_value_) {
    if (has_value_) {
      std::construct_at(&value_, other.value_);
    } else {
      std::construct_at(&error_, other.error_);
    }
  }

  constexpr expected(expected&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                                std::is_nothrow_move_constructible_v<E>)
    requires std::move_constructible<T> && std::move_constructible<E>
      : has_value_(other.has_value_) {
    if (has_value_) {
      std::construct_at(&value_, std::move(other.value_));
    } else {
      std::construct_at(&error_, std::move(other.error_));
    }
  }

  // Assignment rebuilds in place; no caller relies on the old contents surviving a throwing move.
  constexpr expected& operator=(const expected& other)
    requires std::copy_constructible<T> && std::copy_constructible<E>
  {
    if (this != &other) {
      destroy();
      has_value_ = other.has_value_;
      if (has_value_) {
        std::construct_at(&value_, other.value_);
      } else {
        std::construct_at(&error_, other.error_);
      }
    }
    return *this;
  }

  constexpr expected& operator=(expected&& other)
    requires std::move_constructible<T> && std::move_constructible<E>
  {
    if (this != &other) {
      destroy();
      has_value_ = other.has_value_;
      if (has_value_) {
        std::construct_at(&value_, std::move(other.value_));
      } else {
        std::construct_at(&error_, std::move(other.error_));
      }
    }
    return *this;
  }

  constexpr ~expected() { destroy(); }

  constexpr bool has_value() const noexcept { return has_value_; }
  constexpr explicit operator bool() const noexcept { return has_value_; }

  constexpr const T& operator*() const& noexcept { return value_; }
  constexpr T& operator*() & noexcept { return value_; }
  constexpr const T&& operator*() const&& noexcept { return std::move(value_); }
  constexpr T&& operator*() && noexcept { return std::move(value_); }
  constexpr const T* operator->() const noexcept { return std::addressof(value_); }
  constexpr T* operator->() noexcept { return std::addressof(value_); }

  constexpr const E& error() const& noexcept { return error_; }
  constexpr E& error() & noexcept { return error_; }
  constexpr const E&& error() const&& noexcept { return std::move(error_); }
  constexpr E&& error() && noexcept { return std::move(error_); }

  // The value as it is, or the error passed through `change`.
  template <class Change>
  constexpr auto transform_error(Change&& change) const& {
    using Changed = std::remove_cv_t<std::invoke_result_t<Change, const E&> >;
    if (has_value_) return expected<T, Changed>(value_);
    return expected<T, Changed>(
        unexpected<Changed>(std::invoke(std::forward<Change>(change), error_)));
  }
  template <class Change>
  constexpr auto transform_error(Change&& change) && {
    using Changed = std::remove_cv_t<std::invoke_result_t<Change, E&&> >;
    if (has_value_) return expected<T, Changed>(std::move(value_));
    return expected<T, Changed>(
        unexpected<Changed>(std::invoke(std::forward<Change>(change), std::move(error_))));
  }

 private:
  constexpr void destroy() noexcept {
    if (has_value_) {
      std::destroy_at(&value_);
    } else {
      std::destroy_at(&error_);
    }
  }

  union {
    T value_;
    E error_;
  };
  bool has_value_;
};

namespace detail {
struct no_value {};
}  // namespace detail

// Success carries nothing; everything else is the general case's.
template <class E>
class [[nodiscard]] expected<void, E> : private expected<detail::no_value, E> {
  using general = expected<detail::no_value, E>;

 public:
  using value_type = void;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected() = default;
  using general::general;

  using general::has_value;
  using general::operator bool;
  using general::error;
  constexpr void operator*() const noexcept {}

  template <class Change>
  constexpr auto transform_error(Change&& change) const& {
    using Changed = std::remove_cv_t<std::invoke_result_t<Change, const E&> >;
    if (has_value()) return expected<void, Changed>();
    return expected<void, Changed>(
        unexpected<Changed>(std::invoke(std::forward<Change>(change), error())));
  }
  template <class Change>
  constexpr auto transform_error(Change&& change) && {
    using Changed = std::remove_cv_t<std::invoke_result_t<Change, E&&> >;
    if (has_value()) return expected<void, Changed>();
    return expected<void, Changed>(
        unexpected<Changed>(std::invoke(std::forward<Change>(change), std::move(*this).error())));
  }
};

}  // namespace fendral

#endif
