#include "model/agent_error.hpp"

#include <cstring>

namespace toln {

AgentError AgentError::io(int errnum) { return os(Io, {}, errnum); }

AgentError AgentError::os(std::string_view context, int errnum) { return os(Resource, context, errnum); }

AgentError AgentError::os(Kind kind, std::string_view context, int errnum) {
  std::string message(context);
  if (!message.empty()) message += ": ";
  return {kind, message + os_error_text(errnum), errnum};
}

AgentError AgentError::in_context(std::string_view context) const {
  return {Resource, std::string(context) + ": " + message_, os_errno_};
}

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

std::string display_agent_error(const AgentError& error) {
  const char* prefix = "";
  switch (error.kind()) {
    case AgentError::Config: prefix = "config error: "; break;
    case AgentError::Connection: prefix = "connection error: "; break;
    case AgentError::TargetNotFound: prefix = "target not found: "; break;
    case AgentError::Resource: prefix = "resource error: "; break;
    case AgentError::Parse: prefix = "parse error: "; break;
    case AgentError::ConfirmationRequired: prefix = "confirmation required: "; break;
    case AgentError::Conflict: prefix = "conflict: "; break;
    case AgentError::Io:
    case AgentError::Other: break;
  }
  return prefix + error.message();
}

}  // namespace toln
