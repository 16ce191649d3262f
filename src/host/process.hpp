#pragma once
// The process runner: every host program the agent starts goes through here.
// A program is started directly by name with an argument list, never through
// a shell; it is looked up in child_search_path (not the agent's own PATH),
// gets that PATH in its environment, SIGPIPE at its default disposition,
// standard input from "/dev/null" unless fed from a buffer, and both output
// pipes drained at once, each kept up to kCapturedStreamBound. Every call
// waits for its child, but not for the child's descendants: once the child
// has exited, what is in its pipes is taken and the call returns. There is no
// time limit.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/host_programs.hpp"
#include "host/owned_child.hpp"
#include "model/result.hpp"

namespace toln {

// Exit code of a normal exit, absent for a death by signal.
std::optional<int> exit_code(int status);
// Signal number of a death by signal, absent for a normal exit.
std::optional<int> terminating_signal(int status);

// "failed to run {}: {}" when the child cannot be started.
Result<CommandOutput> run_command(std::string_view program, const std::vector<std::string>& args);

// As run_command with extra environment entries set after PATH. An entry
// whose value holds a NUL byte starts nothing: "env var {} contains a NUL
// byte, which is not allowed in process environment values"; nor does a name
// that is empty or holds "=" or a NUL byte, which would set another variable.
Result<CommandOutput> run_command_env(std::string_view program, const std::vector<std::string>& args,
                                      const EnvEntries& extra_env);

// Standard input is a pipe that receives exactly input and is then closed,
// written by a worker thread while this thread drains the outputs. A child
// that stops reading early (broken pipe) is no error.
Result<CommandOutput> run_command_stdin(std::string_view program, const std::vector<std::string>& args,
                                        std::string_view input);

// Standard output goes straight into stdout_fd, which the caller keeps
// owning; standard input is "/dev/null" and standard error is captured. The
// result's stdout_bytes is empty.
Result<CommandOutput> run_command_to_fd(std::string_view program, const std::vector<std::string>& args,
                                        int stdout_fd);

// Requires wait status 0; otherwise "{} failed: {}" with the label and the
// lossy standard error, untrimmed (marked when cut).
Status run_checked(std::string_view program, const std::vector<std::string>& args, std::string_view label);

// The same for a command of the host program table.
inline Result<CommandOutput> run_command(const HostCommand& command) {
  return run_command(command.program, command.args);
}
inline Status run_checked(const HostCommand& command, std::string_view label) {
  return run_checked(command.program, command.args, label);
}

// A captured stream decoded lossily as UTF-8, kTruncatedMarker appended when
// the bound cut it: for quoting the stream whole.
std::string stdout_text(const CommandOutput& output);
std::string stderr_text(const CommandOutput& output);

// Spawn and collect with standard input from "/dev/null", for the callers
// that report failures in their own words (notify targets).
std::variant<CommandOutput, SpawnFailure> run_captured(std::string_view program, const std::vector<std::string>& args);

}  // namespace toln
