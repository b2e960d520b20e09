// Result<T>: a value or an Error. Status is Result<void>.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "core/error.h"

namespace tamix {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : v_(std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const Error& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  Error&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

  Result Context(std::string message) && {
    if (ok()) return std::move(*this);
    return std::move(std::get<1>(v_)).Context(std::move(message));
  }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  const Error& error() const& {
    assert(!ok());
    return *error_;
  }
  Error&& error() && {
    assert(!ok());
    return std::move(*error_);
  }

  Result Context(std::string message) && {
    if (ok()) return {};
    return std::move(*error_).Context(std::move(message));
  }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Status Ok() { return {}; }

}  // namespace tamix

#define TAMIX_CONCAT_INNER(a, b) a##b
#define TAMIX_CONCAT(a, b) TAMIX_CONCAT_INNER(a, b)

// Returns the error of a Status or Result expression from the enclosing function.
#define TAMIX_TRY(expr)                                         \
  do {                                                          \
    auto&& tamix_try_ = (expr);                                 \
    if (!tamix_try_.ok()) return std::move(tamix_try_).error(); \
  } while (0)

#define TAMIX_ASSIGN_OR_RETURN(lhs, expr) \
  TAMIX_ASSIGN_OR_RETURN_IMPL(TAMIX_CONCAT(tamix_result_, __LINE__), lhs, expr)
#define TAMIX_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                \
  if (!tmp.ok()) return std::move(tmp).error();     \
  lhs = std::move(tmp).value()
