#pragma once
// Result<T>: a value or an AgentError. Marked [[nodiscard]] so that no error
// can be dropped silently.

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "model/agent_error.hpp"

namespace toln {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(AgentError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const AgentError& error() const& { return std::get<1>(state_); }
  AgentError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, AgentError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(AgentError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const AgentError& error() const& { return *error_; }
  AgentError&& error() && { return std::move(*error_); }

 private:
  std::optional<AgentError> error_;
};

using Status = Result<void>;

}  // namespace toln
