// Result<T, E>: a value or an error, never both. Failures in this project are
// values; exceptions are kept for internal failures that must unwind to the
// Python boundary.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace quillon {

// The value of an operation that only reports whether it worked.
struct Done {};

template <typename T, typename E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "value and error types must differ");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }

  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quillon

// Early return of the error of a Result-valued expression; on success binds
// the value to `lhs`.
#define QM_CONCAT_INNER(a, b) a##b
#define QM_CONCAT(a, b) QM_CONCAT_INNER(a, b)
#define QM_ASSIGN_OR_RETURN(lhs, expr) \
  QM_ASSIGN_OR_RETURN_IMPL(QM_CONCAT(_qm_result_, __LINE__), lhs, expr)
#define QM_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                             \
  if (!tmp.ok()) return std::move(tmp).error();  \
  lhs = std::move(tmp).value()
// Early return of the error of a Result<Done, E>-valued expression.
#define QM_RETURN_IF_ERROR(expr)                        \
  do {                                                  \
    auto _qm_done = (expr);                             \
    if (!_qm_done.ok()) return std::move(_qm_done).error(); \
  } while (false)
