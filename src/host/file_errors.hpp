#pragma once
// The errors the handlers report for failed file operations: each says
// what failed and, for an OS error, keeps the errno (AgentError::os).

#include <string_view>

#include "model/result.hpp"

namespace toln {

AgentError write_failed_error(std::string_view path, const AgentError& cause);
AgentError stat_failed_error(std::string_view path, int errnum);
AgentError create_dir_failed_error(int errnum);
// "failed to create {path}: {OS error}".
AgentError create_failed_error(std::string_view path, int errnum);
AgentError remove_failed_error(std::string_view path, int errnum);
AgentError chmod_failed_error(std::string_view path, int errnum);
// "chown failed: {cause}", the one text of a failed change of owner or
// group, whatever the resource: the cause is the agent's own (an unknown
// user or group, a refusal) or an OS error.
AgentError chown_failed_error(std::string_view cause);
AgentError chown_failed_error(int errnum);

}  // namespace toln
