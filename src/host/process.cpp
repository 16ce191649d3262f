#include "host/process.hpp"

#include <sys/wait.h>

#include <cerrno>

#include "host/spawn.hpp"
#include "text/nul_byte.hpp"
#include "text/truncate.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Status check_environment(const EnvEntries& env) {
  for (const auto& [name, value] : env) {
    if (name.empty() || name.find('=') != std::string::npos || has_nul_byte(name)) {
      return AgentError::resource("env var name '" + name +
                                  "' is not allowed: names must be non-empty and hold no '=' or NUL byte");
    }
    if (has_nul_byte(value)) {
      return AgentError::resource("env var " + name +
                                  " contains a NUL byte, which is not allowed in process environment values");
    }
  }
  return {};
}

// The words around a cause, where the runner gives them.
AgentError worded(const RunOptions& options, std::string_view words, const HostCommand& command, AgentError cause) {
  if (options.cause_only) return cause;
  return AgentError::resource(std::string(words) + command.program + ": " + cause.message());
}

std::string marked(std::string text, bool cut) {
  if (cut) text += kTruncatedMarker;
  return text;
}

}  // namespace

Result<CommandOutput> run(const HostCommand& command, const RunOptions& options) {
  if (auto checked = check_environment(options.env); !checked) return std::move(checked).error();
  const bool fed = options.input.has_value();
  auto child = spawn_child(command, options);
  if (!child) return worded(options, fed ? "failed to spawn " : "failed to run ", command, std::move(child).error());
  if (fed) {
    if (auto feeding = child->feed_stdin(std::string(*options.input)); !feeding) {
      return worded(options, "failed to start the stdin writer for ", command, std::move(feeding).error());
    }
  }
  CommandOutput output;
  auto status = child->collect(output, options.bounds);
  if (!status) {
    return worded(options, fed ? "failed to wait for " : "failed to run ", command, std::move(status).error());
  }
  output.status = *status;
  if (const Status& fed_all = child->stdin_outcome(); !fed_all && fed_all.error().os_errno() != EPIPE) {
    return AgentError::resource("failed to write stdin: " + fed_all.error().message());
  }
  return output;
}

Status run_checked(const HostCommand& command, std::string_view label, const RunOptions& options) {
  auto output = run(command, options);
  if (!output) return std::move(output).error();
  if (output->status != 0) return AgentError::resource(std::string(label) + " failed: " + stderr_text(*output));
  return {};
}

std::optional<int> exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return std::nullopt;
}

std::optional<int> terminating_signal(int status) {
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return std::nullopt;
}

std::string stdout_text(const CommandOutput& output) {
  return marked(lossy_utf8(output.stdout_bytes), output.stdout_cut);
}

std::string stderr_text(const CommandOutput& output) {
  return marked(lossy_utf8(output.stderr_bytes), output.stderr_cut);
}

}  // namespace toln
