#include "host/owned_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "host/fd_io.hpp"
#include "model/agent_error.hpp"

namespace toln {
namespace {

constexpr std::size_t kReadChunk = 65536;

// Without a process descriptor the child's end shows only to waitpid: while
// its pipes are open it is looked for this often.
constexpr int kExitPollMillis = 10;

// Called through syscall(): glibc 2.36 declares its wrappers without C
// linkage, so C++ cannot link them.
int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
void send_kill(int pidfd) { (void)::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

// Writes the whole input into the pipe unless the child ends first (the
// notice's write end is closed then), which counts as a broken pipe: a
// descendant that keeps the pipe open but does not read must not hold the
// writer. The pipe is closed on return.
Status pipe_writer_thread(UniqueFd pipe, std::string input, UniqueFd child_exit) {
  std::string_view rest = input;
  while (!rest.empty()) {
    pollfd fds[2] = {{pipe.get(), POLLOUT, 0}, {child_exit.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return AgentError::io(errno);
    }
    if (fds[1].revents != 0) return AgentError::io(EPIPE);
    auto written = write_once(pipe.get(), rest);
    if (!written) {
      if (written.error().os_errno() == EAGAIN) continue;
      return std::move(written).error();
    }
    rest.remove_prefix(*written);
  }
  return {};
}

// One captured stream on its way into the output.
struct Stream {
  UniqueFd& pipe;
  std::string& bytes;
  bool& cut;
  std::size_t bound;
};

// One read of at most `most` bytes, kept as far as the bound allows; 0 at
// end-of-file or on a read error, which close the pipe.
std::size_t read_some(Stream& stream, std::size_t most) {
  char buffer[kReadChunk];
  auto got = read_once(stream.pipe.get(), buffer, std::min(most, sizeof buffer));
  if (!got || *got == 0) {
    stream.pipe.reset();
    return 0;
  }
  const std::size_t room = stream.bound - std::min(stream.bound, stream.bytes.size());
  stream.bytes.append(buffer, std::min(*got, room));
  if (*got > room) stream.cut = true;
  return *got;
}

// What the pipe holds now, without waiting for more: after the child's end
// only a descendant could still write, and it may never stop.
void take_pending(Stream& stream) {
  int pending = 0;
  if (::ioctl(stream.pipe.get(), FIONREAD, &pending) == 0) {
    std::size_t left = static_cast<std::size_t>(std::max(pending, 0));
    while (left > 0 && stream.pipe.valid()) left -= std::min(left, read_some(stream, left));
  }
  stream.pipe.reset();
}

}  // namespace

OwnedChild::OwnedChild(pid_t pid, UniqueFd stdin_pipe, UniqueFd stdout_pipe, UniqueFd stderr_pipe)
    : pid_(pid),
      pidfd_(open_pidfd(pid)),
      stdin_pipe_(std::move(stdin_pipe)),
      stdout_pipe_(std::move(stdout_pipe)),
      stderr_pipe_(std::move(stderr_pipe)) {}

OwnedChild::OwnedChild(OwnedChild&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      pidfd_(std::move(other.pidfd_)),
      stdin_pipe_(std::move(other.stdin_pipe_)),
      stdout_pipe_(std::move(other.stdout_pipe_)),
      stderr_pipe_(std::move(other.stderr_pipe_)),
      exit_notice_(std::move(other.exit_notice_)),
      writer_result_(std::move(other.writer_result_)),
      stdin_outcome_(std::move(other.stdin_outcome_)),
      writer_(std::move(other.writer_)) {}

OwnedChild::~OwnedChild() {
  if (pid_ < 0) return;
  kill_child();
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  end_writer();
}

void OwnedChild::kill_child() {
  // Either names this very process: the descriptor even once another has
  // reaped it, the pid as long as this object alone reaps it.
  if (pidfd_.valid()) {
    send_kill(pidfd_.get());
  } else {
    (void)::kill(pid_, SIGKILL);
  }
}

Result<bool> OwnedChild::reap(bool wait) {
  for (;;) {
    const pid_t reaped = ::waitpid(pid_, &status_, wait ? 0 : WNOHANG);
    if (reaped == pid_) break;
    if (reaped == 0) return false;
    if (errno != EINTR) return AgentError::io(errno);
  }
  pid_ = -1;
  end_writer();
  return true;
}

Status OwnedChild::feed_stdin(std::string input) {
  int notice[2];
  if (::pipe2(notice, O_CLOEXEC) != 0) return AgentError::io(errno);
  UniqueFd child_exit(notice[0]);
  exit_notice_ = UniqueFd(notice[1]);
  // Only the agent's end: the child's end is a file description of its own
  // and stays blocking.
  const int flags = ::fcntl(stdin_pipe_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(stdin_pipe_.get(), F_SETFL, flags | O_NONBLOCK) < 0) return AgentError::io(errno);
  std::promise<Status> outcome;
  writer_result_ = outcome.get_future();
  try {
    writer_ = std::jthread([outcome = std::move(outcome), pipe = std::move(stdin_pipe_), text = std::move(input),
                            exit = std::move(child_exit)]() mutable {
      outcome.set_value(pipe_writer_thread(std::move(pipe), std::move(text), std::move(exit)));
    });
  } catch (const std::system_error& e) {
    return AgentError::other(e.what());
  }
  return {};
}

Result<int> OwnedChild::collect(CommandOutput& output, const CaptureBounds& bounds) {
  // A pipe no writer took gives the child end-of-file at once.
  stdin_pipe_.reset();
  Stream streams[2] = {{stdout_pipe_, output.stdout_bytes, output.stdout_cut, bounds.stdout_bound},
                       {stderr_pipe_, output.stderr_bytes, output.stderr_cut, kCapturedStreamBound}};
  if (bounds.kill_at_stdout_bound) output.stdout_bytes.reserve(bounds.stdout_bound);
  bool exited = false;
  while (!exited && (stdout_pipe_.valid() || stderr_pipe_.valid())) {
    pollfd fds[3] = {{pidfd_.get(), POLLIN, 0}, {stdout_pipe_.get(), POLLIN, 0}, {stderr_pipe_.get(), POLLIN, 0}};
    if (::poll(fds, 3, pidfd_.valid() ? -1 : kExitPollMillis) < 0) {
      if (errno == EINTR) continue;
      return AgentError::io(errno);
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i + 1].revents != 0 && streams[i].pipe.valid()) (void)read_some(streams[i], kReadChunk);
    }
    if (bounds.kill_at_stdout_bound && output.stdout_bytes.size() >= bounds.stdout_bound && stdout_pipe_.valid()) {
      kill_child();
      stdout_pipe_.reset();
    }
    if (pidfd_.valid()) {
      exited = fds[0].revents != 0;
    } else {
      auto reaped = reap(false);
      if (!reaped) return std::move(reaped).error();
      exited = *reaped;
    }
  }
  for (auto& stream : streams) {
    if (stream.pipe.valid()) take_pending(stream);
  }

  if (pid_ >= 0) {
    if (auto reaped = reap(true); !reaped) return std::move(reaped).error();
  }
  if (writer_.joinable()) {
    writer_.join();
    stdin_outcome_ = writer_result_.get();
  }
  return status_;
}

}  // namespace toln
