#pragma once
// The one error value of the agent: a kind and a message, shown through one
// display text.

#include <cstdint>
#include <string>
#include <string_view>

namespace toln {

class AgentError {
 public:
  enum Kind : std::uint8_t {
    Config,
    Connection,
    TargetNotFound,
    Resource,
    Parse,
    ConfirmationRequired,
    Conflict,
    Io,
    Other,
  };

  AgentError(Kind kind, std::string message, int os_errno = 0)
      : kind_(kind), message_(std::move(message)), os_errno_(os_errno) {}

  static AgentError config(std::string m) { return {Config, std::move(m)}; }
  static AgentError connection(std::string m) { return {Connection, std::move(m)}; }
  static AgentError target_not_found(std::string m) { return {TargetNotFound, std::move(m)}; }
  static AgentError resource(std::string m) { return {Resource, std::move(m)}; }
  static AgentError parse(std::string m) { return {Parse, std::move(m)}; }
  static AgentError confirmation_required(std::string m) { return {ConfirmationRequired, std::move(m)}; }
  static AgentError conflict(std::string m) { return {Conflict, std::move(m)}; }
  // An operating-system I/O error, shown as "{} (os error {})".
  static AgentError io(int errnum);
  // An operating-system error met while doing something: a Resource error
  // "{context}: {} (os error {})" (the OS text alone for an empty context),
  // as nearly every such error ends a resource. The errno is kept for the
  // callers that branch on it.
  static AgentError os(std::string_view context, int errnum);
  // The same for an error of another kind.
  static AgentError os(Kind kind, std::string_view context, int errnum);
  static AgentError other(std::string m) { return {Other, std::move(m)}; }

  // This error's message behind what was being done: a Resource error
  // "{context}: {message}" that keeps the errno.
  AgentError in_context(std::string_view context) const;

  Kind kind() const { return kind_; }
  // For Io, the OS error's text.
  const std::string& message() const { return message_; }
  // The errno of an error made by io() or os(), else 0.
  int os_errno() const { return os_errno_; }

 private:
  Kind kind_;
  std::string message_;
  int os_errno_ = 0;
};

// The display text: the message behind the kind's prefix ("config error: ",
// "resource error: ", ...), or the message alone for Io and Other.
std::string display_agent_error(const AgentError& error);

// "{} (os error {})": strerror's description and the number.
std::string os_error_text(int errnum);

}  // namespace toln
