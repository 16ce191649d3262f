#pragma once
// A started child and everything that belongs to it: a process descriptor to
// watch it by, its pipes and the thread that feeds its standard input. The
// runner, notify targets and the bundle fetch all start children as this.

#include <sys/types.h>

#include <cstddef>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "host/unique_fd.hpp"

namespace toln {

inline constexpr std::string_view child_search_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// What is kept of each captured stream; the rest is read and dropped.
inline constexpr std::size_t kCapturedStreamBound = 64 * 1024 * 1024;

struct CommandOutput {
  int status = 0;  // raw wait status: exit code in bits 8..15, or the signal number
  std::string stdout_bytes;
  std::string stderr_bytes;
  bool stdout_cut = false;  // the stream went beyond its bound
  bool stderr_cut = false;
};

using EnvEntries = std::map<std::string, std::string, std::less<>>;

enum class StdinMode { DevNull, Pipe, Inherit };

struct SpawnFailure {
  std::string text;  // the OS error's text, or why the arguments were refused
};

struct CaptureBounds {
  std::size_t stdout_bound = kCapturedStreamBound;
  // Kill the child once its standard output fills the bound, rather than
  // drain the rest.
  bool kill_at_stdout_bound = false;
};

class OwnedChild {
 public:
  // Takes the child over; the process descriptor is opened here (watched()
  // tells whether that worked, errno why not).
  OwnedChild(pid_t pid, UniqueFd stdin_pipe, UniqueFd stdout_pipe, UniqueFd stderr_pipe);
  OwnedChild(OwnedChild&& other) noexcept;
  OwnedChild& operator=(OwnedChild&&) = delete;
  // A child still running is killed and reaped, and the writer joined.
  ~OwnedChild();

  bool watched() const { return pidfd_.valid(); }

  // Starts the worker that writes input into standard input (StdinMode::Pipe)
  // and then closes it; the text of the failure when it cannot start.
  std::optional<std::string> feed_stdin(std::string input);

  // Reads both output pipes at once, keeping at most the bound of each, until
  // the direct child has exited: what is in the pipes then is taken and the
  // rest, which only a descendant can still write, is not waited for. Then
  // reaps the child and joins the writer; the raw wait status or the failure.
  std::variant<int, SpawnFailure> collect(CommandOutput& output, const CaptureBounds& bounds = {});

  // The writer's outcome once collect has returned a status: 0, the errno of
  // a failed write (EPIPE when the child ended before taking everything), or
  // kWroteNothing.
  int stdin_outcome() const { return stdin_outcome_; }

 private:
  void kill_child();

  pid_t pid_ = -1;  // until reaped
  UniqueFd pidfd_;
  UniqueFd stdin_pipe_;
  UniqueFd stdout_pipe_;
  UniqueFd stderr_pipe_;
  std::future<int> writer_result_;
  int stdin_outcome_ = 0;
  std::jthread writer_;  // last, so that it is joined before the rest goes
};

// Finds the program in child_search_path (a name with a slash is used as a
// path) and starts it with PATH replaced and the extra entries added.
// Standard output is a pipe, or stdout_target when that is not -1, which
// the caller keeps owning.
std::variant<OwnedChild, SpawnFailure> spawn_child(std::string_view program, const std::vector<std::string>& args,
                                                   const EnvEntries& extra_env, StdinMode stdin_mode,
                                                   int stdout_target = -1);

}  // namespace toln
