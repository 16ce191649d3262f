#pragma once
// The process runner: every host program the agent starts goes through here.
// A program is started directly by name with an argument list, never through
// a shell; it is looked up in child_search_path (not the agent's own PATH),
// gets that PATH in its environment, SIGPIPE at its default disposition,
// standard input from "/dev/null" unless fed from a buffer, and both output
// pipes drained at once. Every call waits for its child; there is no time
// limit.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/host_programs.hpp"
#include "model/result.hpp"
#include "model/unique_fd.hpp"

namespace toln {

inline constexpr std::string_view child_search_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct CommandOutput {
  int status = 0;  // raw wait status: exit code in bits 8..15, or the signal number
  std::string stdout_bytes;
  std::string stderr_bytes;
};

using EnvEntries = std::map<std::string, std::string, std::less<>>;

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
// lossy standard error, untrimmed.
Status run_checked(std::string_view program, const std::vector<std::string>& args, std::string_view label);

// The same for a command of the host program table.
inline Result<CommandOutput> run_command(const HostCommand& command) {
  return run_command(command.program, command.args);
}
inline Status run_checked(const HostCommand& command, std::string_view label) {
  return run_checked(command.program, command.args, label);
}

// At most 2000 bytes, cut on a character boundary, "...(truncated)" appended
// when cut.
std::string truncate_output(std::string_view text);

// --- The spawning primitive beneath the runner, for the callers that start a
// child "in the same manner" but report failures in their own words (notify
// targets, the bundle fetch). Failures carry the errno.

enum class StdinMode { DevNull, Pipe, Inherit };

struct SpawnedChild {
  pid_t pid = -1;
  UniqueFd stdin_pipe;   // write end, with StdinMode::Pipe
  UniqueFd stdout_pipe;  // read end, unless standard output was given a target
  UniqueFd stderr_pipe;  // read end
};

struct SpawnFailure {
  std::string text;  // the OS error's text, or why the arguments were refused
};

// Finds the program in child_search_path (a name with a slash is used as a
// path) and starts it with PATH replaced and the extra entries added.
// Standard output is a pipe, or stdout_target when that is not -1.
std::variant<SpawnedChild, SpawnFailure> spawn_child(std::string_view program, const std::vector<std::string>& args,
                                                     const EnvEntries& extra_env, StdinMode stdin_mode,
                                                     int stdout_target = -1);

// Reads both pipes to end-of-file at once (poll), closing them; a pipe that
// is not open counts as read.
void drain_pipes(UniqueFd out, UniqueFd err, std::string& out_bytes, std::string& err_bytes);

// Waits for the child, retrying on EINTR; the raw status or the failure.
std::variant<int, SpawnFailure> wait_child(pid_t pid);

// Spawn, drain and wait, with standard input from "/dev/null".
std::variant<CommandOutput, SpawnFailure> run_captured(std::string_view program, const std::vector<std::string>& args);

}  // namespace toln
