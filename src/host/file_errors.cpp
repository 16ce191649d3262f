#include "host/file_errors.hpp"

namespace toln {

AgentError write_failed_error(std::string_view path, const AgentError& cause) {
  return AgentError::resource("failed to write " + std::string(path) + ": " + display_agent_error(cause));
}

AgentError stat_failed_error(std::string_view path, int errnum) {
  return AgentError::os("failed to stat " + std::string(path), errnum);
}

AgentError create_dir_failed_error(int errnum) { return AgentError::os("failed to create dir", errnum); }

AgentError create_failed_error(std::string_view path, int errnum) {
  return AgentError::os("failed to create " + std::string(path), errnum);
}

AgentError remove_failed_error(std::string_view path, int errnum) {
  return AgentError::os("failed to remove " + std::string(path), errnum);
}

AgentError chmod_failed_error(std::string_view path, int errnum) {
  return AgentError::os("failed to chmod " + std::string(path), errnum);
}

AgentError chown_failed_error(std::string_view cause) {
  return AgentError::resource("chown failed: " + std::string(cause));
}

AgentError chown_failed_error(int errnum) { return AgentError::os("chown failed", errnum); }

}  // namespace toln
