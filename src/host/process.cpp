#include "host/process.hpp"

#include <cerrno>

#include "host/fd_io.hpp"
#include "model/agent_error.hpp"
#include "text/truncate.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

AgentError run_failure(std::string_view program, const SpawnFailure& failure) {
  return AgentError::resource("failed to run " + std::string(program) + ": " + failure.text);
}

std::variant<CommandOutput, SpawnFailure> capture(std::string_view program, const std::vector<std::string>& args,
                                                  const EnvEntries& extra_env, int stdout_target = -1) {
  auto spawned = spawn_child(program, args, extra_env, StdinMode::DevNull, stdout_target);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) return *failure;
  CommandOutput output;
  auto collected = std::get<OwnedChild>(spawned).collect(output);
  if (auto* failure = std::get_if<SpawnFailure>(&collected)) return *failure;
  output.status = std::get<int>(collected);
  return output;
}

Result<CommandOutput> run_with_env(std::string_view program, const std::vector<std::string>& args,
                                   const EnvEntries& extra_env, int stdout_target = -1) {
  auto ran = capture(program, args, extra_env, stdout_target);
  if (auto* failure = std::get_if<SpawnFailure>(&ran)) return run_failure(program, *failure);
  return std::move(std::get<CommandOutput>(ran));
}

std::string marked(std::string text, bool cut) {
  if (cut) text += kTruncatedMarker;
  return text;
}

}  // namespace

std::variant<CommandOutput, SpawnFailure> run_captured(std::string_view program,
                                                       const std::vector<std::string>& args) {
  return capture(program, args, {});
}

Result<CommandOutput> run_command(std::string_view program, const std::vector<std::string>& args) {
  return run_with_env(program, args, {});
}

Result<CommandOutput> run_command_env(std::string_view program, const std::vector<std::string>& args,
                                      const EnvEntries& extra_env) {
  for (const auto& [name, value] : extra_env) {
    if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
      return AgentError::resource("env var name '" + name +
                                  "' is not allowed: names must be non-empty and hold no '=' or NUL byte");
    }
    if (value.find('\0') != std::string::npos) {
      return AgentError::resource("env var " + name +
                                  " contains a NUL byte, which is not allowed in process environment values");
    }
  }
  return run_with_env(program, args, extra_env);
}

Result<CommandOutput> run_command_to_fd(std::string_view program, const std::vector<std::string>& args,
                                        int stdout_fd) {
  // A negative descriptor would mean "capture it" below.
  if (stdout_fd < 0) return run_failure(program, SpawnFailure{os_error_text(EBADF)});
  return run_with_env(program, args, {}, stdout_fd);
}

Result<CommandOutput> run_command_stdin(std::string_view program, const std::vector<std::string>& args,
                                        std::string_view input) {
  auto spawned = spawn_child(program, args, {}, StdinMode::Pipe);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) {
    return AgentError::resource("failed to spawn " + std::string(program) + ": " + failure->text);
  }
  auto& child = std::get<OwnedChild>(spawned);
  if (auto failure = child.feed_stdin(std::string(input))) {
    return AgentError::resource("failed to start the stdin writer for " + std::string(program) + ": " + *failure);
  }

  CommandOutput output;
  auto collected = child.collect(output);
  if (auto* failure = std::get_if<SpawnFailure>(&collected)) {
    return AgentError::resource("failed to wait for " + std::string(program) + ": " + failure->text);
  }
  output.status = std::get<int>(collected);
  if (const int outcome = child.stdin_outcome(); outcome != 0 && outcome != EPIPE) {
    return AgentError::resource("failed to write stdin: " + write_failure_text(outcome));
  }
  return output;
}

Status run_checked(std::string_view program, const std::vector<std::string>& args, std::string_view label) {
  auto output = run_command(program, args);
  if (!output) return std::move(output).error();
  if (output->status != 0) return AgentError::resource(std::string(label) + " failed: " + stderr_text(*output));
  return {};
}

std::string stdout_text(const CommandOutput& output) {
  return marked(lossy_utf8(output.stdout_bytes), output.stdout_cut);
}

std::string stderr_text(const CommandOutput& output) {
  return marked(lossy_utf8(output.stderr_bytes), output.stderr_cut);
}

}  // namespace toln
