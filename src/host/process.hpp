#pragma once
// The process runner: every host program the agent starts goes through run
// or run_checked. A program is started directly by name with an argument
// list, never through a shell; it is looked up in child_search_path (not the
// agent's own PATH), gets that PATH in its environment, SIGPIPE at its
// default disposition, standard input from "/dev/null" unless fed from a
// buffer, and both output pipes drained at once, each kept up to
// kCapturedStreamBound. Every call waits for its child, but not for the
// child's descendants: once the child has exited, what is in its pipes is
// taken and the call returns. There is no time limit.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_programs.hpp"
#include "host/owned_child.hpp"
#include "model/result.hpp"

namespace toln {

inline constexpr std::string_view child_search_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

using EnvEntries = std::map<std::string, std::string, std::less<>>;

// Why a program or argument holding a NUL byte starts nothing: the system
// call would cut the text there.
inline constexpr std::string_view kNulByteRefusal = "nul byte found in provided data";

struct RunOptions {
  // Set after PATH, so an entry named PATH replaces the search path. A value
  // holding a NUL byte starts nothing: "env var {} contains a NUL byte, which
  // is not allowed in process environment values"; nor does a name that is
  // empty or holds "=" or a NUL byte, which would set another variable.
  EnvEntries env{};
  // Standard input is a pipe that receives exactly input and is then closed,
  // written by a worker thread while the outputs are drained. A child that
  // stops reading early (broken pipe) is no error.
  std::optional<std::string_view> input{};
  // Standard output goes straight into this descriptor, which the caller
  // keeps owning, and the output's stdout_bytes stay empty.
  std::optional<int> stdout_fd{};
  // The directory the child starts in, as a descriptor the caller keeps
  // owning (O_PATH will do); the agent's own working directory otherwise.
  std::optional<int> working_dir{};
  CaptureBounds bounds{};
  // A child that cannot be started or waited for gives the cause alone (an
  // OS error's text, or why the arguments were refused), for callers that
  // report it in their own words.
  bool cause_only = false;
};

// Runs the program and returns its output whatever its status. A child
// that cannot be started or waited for: "failed to run {}: {}" (program,
// cause); with input, "failed to spawn {}: {}", "failed to start the stdin
// writer for {}: {}" and "failed to wait for {}: {}", and "failed to write
// stdin: {}" when writing the input fails other than by a broken pipe.
Result<CommandOutput> run(const HostCommand& command, const RunOptions& options = {});

// run, then requires wait status 0; otherwise "{} failed: {}" with the label
// and the lossy standard error, untrimmed (marked when cut).
Status run_checked(const HostCommand& command, std::string_view label, const RunOptions& options = {});

// Exit code of a normal exit, absent for a death by signal.
std::optional<int> exit_code(int status);
// Signal number of a death by signal, absent for a normal exit.
std::optional<int> terminating_signal(int status);

// A captured stream decoded lossily as UTF-8, kTruncatedMarker appended when
// the bound cut it: for quoting the stream whole.
std::string stdout_text(const CommandOutput& output);
std::string stderr_text(const CommandOutput& output);

}  // namespace toln
