#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace zimlo {

// Why an operation failed, wrapped so that `return fail(error);` reads as what it is and a
// Result whose value and error have the same type still knows which one it holds.
template <typename E>
struct Failure {
    E error;
};

template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

// What a fallible operation below the GUI returns: its value, or its layer's error type.
// Exceptions stay for constructors that cannot succeed.
//
//   Result<std::filesystem::path, WriterError> finish();
//   if (auto written = finish(); written) use(*written); else report(written.error());
template <typename T, typename E>
class [[nodiscard]] Result {
  public:
    using Value = T;
    using Error = E;

    Result(const T& value) : state_(std::in_place_index<0>, value) {}
    Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only on success.
    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // Only on failure.
    E& error() & {
        assert(!ok());
        return std::get<1>(state_);
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

    friend bool operator==(const Result&, const Result&) = default;

  private:
    std::variant<T, E> state_;
};

// Success carries nothing; failure carries the error.
template <typename E>
class [[nodiscard]] Result<void, E> {
  public:
    using Value = void;
    using Error = E;

    Result() = default;
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Failure<F> failure) : error_(std::move(failure.error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    E& error() & {
        assert(!ok());
        return *error_;
    }
    const E& error() const& {
        assert(!ok());
        return *error_;
    }
    E&& error() && {
        assert(!ok());
        return *std::move(error_);
    }

    friend bool operator==(const Result&, const Result&) = default;

  private:
    std::optional<E> error_;
};

}  // namespace zimlo
