// What an operation that can fail gives back: its value, or why there is none.
//
// In place of a bool and a std::string& out-parameter: the caller cannot reach
// the value without there being one, and a failed call leaves no half-made value
// in the caller's variables. A small cousin of C++23's std::expected, which
// g++ 12 does not have.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorpak {

// Why something failed, in words for whoever asked for it.
struct Failure {
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Failure>, "a Failure is not a value");

 public:
  // Implicit both ways, so that a function returns either as it is.
  Result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : outcome_(std::in_place_index<1>, std::move(failure)) {}

  bool has_value() const { return outcome_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // The value; std::bad_variant_access if there is none.
  T& value() & { return std::get<0>(outcome_); }
  const T& value() const& { return std::get<0>(outcome_); }
  T&& value() && { return std::get<0>(std::move(outcome_)); }

  // The failure's message; std::bad_variant_access if there is a value.
  const std::string& error() const { return std::get<1>(outcome_).message; }

 private:
  std::variant<T, Failure> outcome_;
};

}  // namespace vorpak
