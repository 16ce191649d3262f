#pragma once
// Child processes of the tests: started with everything prepared beforehand
// (argument and environment arrays, the mounts of a private namespace), so
// the child does only async-signal-safe work before exec. Each child leads
// its own process group; the whole group is killed when the child ends or is
// stopped, so nothing it started outlives it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/unique_fd.hpp"

namespace toln::testing {

// How a child ended and what it wrote. exit_status is -1 when a signal
// (term_signal) ended it; timed_out tells that the harness killed it.
struct RunResult {
  int exit_status = -1;
  int term_signal = 0;
  bool timed_out = false;
  std::string out;
  std::string err;
};

// The status of a child that could not set up its namespace or exec; its
// standard error then holds one line starting with kSetupFailurePrefix.
inline constexpr int kSetupFailedStatus = 125;
inline constexpr std::string_view kSetupFailurePrefix = "toln-harness: ";

// One mount(2) call of the child; description names it in the failure line.
struct MountStep {
  std::string source;  // empty: none
  std::string target;
  std::string fstype;  // empty: none
  unsigned long flags = 0;
  std::string data;  // empty: none
  std::string description;
};

struct ChildSpec {
  std::string program;            // path handed to execve, never searched
  std::vector<std::string> argv;  // argv[0] included
  std::vector<std::string> env;   // "NAME=value", the whole environment
  std::string cwd;                // empty: the parent's
  // With a namespace the child unshares its mount and UTS namespaces, makes
  // every mount private, then performs the mounts in order.
  bool private_namespace = false;
  std::vector<MountStep> mounts;
};

class ChildProcess {
 public:
  // Starts the child with stdin_text on its standard input (closed once
  // written; an empty text closes it at once). Throws std::runtime_error when
  // pipes or the start fail; failures inside the child end it with
  // kSetupFailedStatus instead.
  ChildProcess(const ChildSpec& spec, std::string stdin_text);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills the process group and reaps the child if it is still there.
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  bool exited() const { return wait_status_.has_value(); }

  // Output captured so far, after taking in whatever is ready now.
  const std::string& out();
  const std::string& err();

  // Feeds stdin and drains both outputs until done() holds, the child has
  // exited and its output is drained, or the timeout passes. Returns whether
  // done() held (a null done means "the child exited").
  bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Waits until the standard error written so far satisfies pred.
  bool wait_for_err(const std::function<bool(std::string_view)>& pred, std::chrono::milliseconds timeout);
  // The result once the child has exited by itself within the timeout.
  std::optional<RunResult> wait_exit(std::chrono::milliseconds timeout);
  // Sends SIGTERM to the group, SIGKILL after the grace period, and returns
  // the result.
  RunResult stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // Sends SIGKILL to the group and returns the result.
  RunResult kill();

 private:
  void pump(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done);
  void handle_exit();
  RunResult result() const;

  pid_t pid_ = -1;
  UniqueFd stdin_pipe_;
  UniqueFd stdout_pipe_;
  UniqueFd stderr_pipe_;
  UniqueFd pidfd_;
  std::string input_;
  std::size_t written_ = 0;
  std::string out_;
  std::string err_;
  std::optional<int> wait_status_;
};

// Runs a child to its end; after the timeout it is killed and the result
// says timed_out.
RunResult run_program(const ChildSpec& spec, std::string stdin_text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace toln::testing
