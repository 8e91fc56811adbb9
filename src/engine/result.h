// Result<T>: the value of a fallible operation, or the EngineError that stopped it.
// Status: the same for operations that produce nothing.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "engine/engine_error.h"

namespace korvane {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(EngineError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }

  // Precondition: ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // Precondition: !ok().
  const EngineError& error() const& { return std::get<1>(state_); }
  EngineError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, EngineError> state_;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(EngineError error) : error_(std::move(error)) {}
  static Status Ok() { return Status(); }

  bool ok() const { return !error_.has_value(); }
  // Precondition: !ok().
  const EngineError& error() const& { return *error_; }
  EngineError&& error() && { return std::move(*error_); }

 private:
  std::optional<EngineError> error_;
};

}  // namespace korvane
