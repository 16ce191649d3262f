#pragma once
// A started child and everything that belongs to it: its pid (and a process
// descriptor where the kernel gives one), its pipes and the thread that
// feeds its standard input. Only the runner (host/process.hpp) makes them.

#include <sys/types.h>

#include <cstddef>
#include <future>
#include <string>
#include <thread>

#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// What is kept of each captured stream; the rest is read and dropped.
inline constexpr std::size_t kCapturedStreamBound = std::size_t{64} << 20;

struct CommandOutput {
  int status = 0;  // raw wait status: exit code in bits 8..15, or the signal number
  std::string stdout_bytes;
  std::string stderr_bytes;
  bool stdout_cut = false;  // the stream went beyond its bound
  bool stderr_cut = false;
};

struct CaptureBounds {
  std::size_t stdout_bound = kCapturedStreamBound;
  // Kill the child once its standard output fills the bound, rather than
  // drain the rest. The bound is then reserved whole, so that growing never
  // holds an old and a new buffer at once; memory the output does not reach
  // is never touched.
  bool kill_at_stdout_bound = false;
};

class OwnedChild {
 public:
  // Takes the child over, the only one to wait for it. It is watched through
  // a process descriptor (pidfd_open, Linux 5.3); where the kernel or a
  // seccomp profile refuses one, by polling waitpid, so that a child can
  // neither be missed nor a reused pid be signalled.
  OwnedChild(pid_t pid, UniqueFd stdin_pipe, UniqueFd stdout_pipe, UniqueFd stderr_pipe);
  OwnedChild(OwnedChild&& other) noexcept;
  OwnedChild& operator=(OwnedChild&&) = delete;
  // A child still running is killed and reaped, and the writer joined.
  ~OwnedChild();

  // Starts the worker that writes input into the standard input pipe and
  // then closes it; the OS error, or the thread's, when it cannot start.
  Status feed_stdin(std::string input);

  // Reads both output pipes at once, keeping at most the bound of each, until
  // the direct child has exited: what is in the pipes then is taken and the
  // rest, which only a descendant can still write, is not waited for. Then
  // reaps the child and joins the writer. The raw wait status, or the OS
  // error of a failed wait.
  Result<int> collect(CommandOutput& output, const CaptureBounds& bounds = {});

  // The writer's outcome once collect has returned a status: the error of a
  // failed write (EPIPE when the child ended before taking everything).
  const Status& stdin_outcome() const { return stdin_outcome_; }

 private:
  // Whether the child has ended, reaping it when it has (or, with wait, once
  // it has); the OS error of a failed wait.
  Result<bool> reap(bool wait);
  // Tells the writer that the child is gone: it stops instead of waiting for
  // a reader that a descendant may keep open without reading.
  void end_writer() { exit_notice_.reset(); }
  void kill_child();

  pid_t pid_ = -1;  // until reaped
  int status_ = 0;  // once reaped
  UniqueFd pidfd_;  // invalid where the kernel gives none
  UniqueFd stdin_pipe_;
  UniqueFd stdout_pipe_;
  UniqueFd stderr_pipe_;
  UniqueFd exit_notice_;  // the write end of a pipe the writer watches
  std::future<Status> writer_result_;
  Status stdin_outcome_;
  std::jthread writer_;  // last, so that it is joined before the rest goes
};

}  // namespace toln
