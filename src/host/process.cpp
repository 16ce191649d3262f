#include "host/process.hpp"

#include <signal.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "host/fd_io.hpp"
#include "model/agent_error.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

AgentError run_failure(std::string_view program, const SpawnFailure& failure) {
  return AgentError::resource("failed to run " + std::string(program) + ": " + failure.text);
}

Result<CommandOutput> run_with_env(std::string_view program, const std::vector<std::string>& args,
                                   const EnvEntries& extra_env) {
  auto spawned = spawn_child(program, args, extra_env, StdinMode::DevNull);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) return run_failure(program, *failure);
  auto& child = std::get<SpawnedChild>(spawned);
  CommandOutput output;
  drain_pipes(std::move(child.stdout_pipe), std::move(child.stderr_pipe), output.stdout_bytes, output.stderr_bytes);
  auto waited = wait_child(child.pid);
  if (auto* failure = std::get_if<SpawnFailure>(&waited)) return run_failure(program, *failure);
  output.status = std::get<int>(waited);
  return output;
}

// Owns the input and the pipe; the pipe is closed when it returns. The
// outcome is write_all's.
int pipe_writer_thread(UniqueFd pipe, std::string input) { return write_all(pipe.get(), input); }

}  // namespace

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
  auto spawned = spawn_child(program, args, {}, StdinMode::DevNull, stdout_fd);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) return run_failure(program, *failure);
  auto& child = std::get<SpawnedChild>(spawned);
  CommandOutput output;
  drain_pipes(UniqueFd(), std::move(child.stderr_pipe), output.stdout_bytes, output.stderr_bytes);
  auto waited = wait_child(child.pid);
  if (auto* failure = std::get_if<SpawnFailure>(&waited)) return run_failure(program, *failure);
  output.status = std::get<int>(waited);
  return output;
}

Result<CommandOutput> run_command_stdin(std::string_view program, const std::vector<std::string>& args,
                                        std::string_view input) {
  auto spawned = spawn_child(program, args, {}, StdinMode::Pipe);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) {
    return AgentError::resource("failed to spawn " + std::string(program) + ": " + failure->text);
  }
  auto& child = std::get<SpawnedChild>(spawned);

  // Shared, because after a failed wait the writer is left to finish alone.
  auto outcome = std::make_shared<int>(0);
  std::thread writer;
  try {
    writer = std::thread([outcome, pipe = std::move(child.stdin_pipe), text = std::string(input)]() mutable {
      *outcome = pipe_writer_thread(std::move(pipe), std::move(text));
    });
  } catch (const std::system_error& e) {
    // The child is running already: it must not be left behind.
    ::kill(child.pid, SIGKILL);
    child.stdout_pipe.reset();
    child.stderr_pipe.reset();
    (void)wait_child(child.pid);
    return AgentError::resource("failed to start the stdin writer for " + std::string(program) + ": " + e.what());
  }

  CommandOutput output;
  drain_pipes(std::move(child.stdout_pipe), std::move(child.stderr_pipe), output.stdout_bytes, output.stderr_bytes);
  auto waited = wait_child(child.pid);
  if (auto* failure = std::get_if<SpawnFailure>(&waited)) {
    writer.detach();
    return AgentError::resource("failed to wait for " + std::string(program) + ": " + failure->text);
  }
  output.status = std::get<int>(waited);
  writer.join();
  if (*outcome != 0 && *outcome != EPIPE) {
    return AgentError::resource("failed to write stdin: " + write_failure_text(*outcome));
  }
  return output;
}

Status run_checked(std::string_view program, const std::vector<std::string>& args, std::string_view label) {
  auto output = run_command(program, args);
  if (!output) return std::move(output).error();
  if (output->status != 0) {
    return AgentError::resource(std::string(label) + " failed: " + lossy_utf8(output->stderr_bytes));
  }
  return {};
}

std::string truncate_output(std::string_view text) {
  constexpr std::size_t kLimit = 2000;
  if (text.size() <= kLimit) return std::string(text);
  return std::string(text.substr(0, floor_char_boundary(text, kLimit))) + "...(truncated)";
}

}  // namespace toln
