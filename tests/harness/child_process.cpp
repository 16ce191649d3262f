#include "harness/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace toln::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPipeSize = 1 << 20;

[[noreturn]] void throw_errno(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::pair<UniqueFd, UniqueFd> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("pipe2");
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) throw_errno("fcntl O_NONBLOCK");
}

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const auto& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

const char* or_null(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

// Everything the child touches before it execs, built beforehand: it
// shares the test's memory, so only async-signal-safe calls are allowed.
struct PreparedExec {
  explicit PreparedExec(const ChildSpec& spec) : spec(spec), argv(c_strings(spec.argv)), envp(c_strings(spec.env)) {
    const std::string prefix(kSetupFailurePrefix);
    unshare_failure = prefix + "unshare of the mount and UTS namespaces failed: errno ";
    private_failure = prefix + "making the mounts private failed: errno ";
    for (const auto& step : spec.mounts) mount_failures.push_back(prefix + step.description + " failed: errno ");
    chdir_failure = prefix + "chdir to " + spec.cwd + " failed: errno ";
    exec_failure = prefix + "exec of " + spec.program + " failed: errno ";
  }
  const ChildSpec& spec;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::string unshare_failure, private_failure, chdir_failure, exec_failure;
  std::vector<std::string> mount_failures;
};

// The child runs on a stack AddressSanitizer does not know; what runs there
// goes without its checks, as the C library's own posix_spawn does.
#define TOLN_CHILD_SIDE __attribute__((no_sanitize("address")))

[[noreturn]] TOLN_CHILD_SIDE void child_fail(const std::string& message) {
  const int errnum = errno;
  char digits[16];
  int n = 0;
  for (int value = errnum; n == 0 || value > 0; value /= 10) digits[n++] = static_cast<char>('0' + value % 10);
  (void)!::write(STDERR_FILENO, message.data(), message.size());
  while (n > 0) (void)!::write(STDERR_FILENO, &digits[--n], 1);
  (void)!::write(STDERR_FILENO, "\n", 1);
  ::_exit(kSetupFailedStatus);
}

[[noreturn]] TOLN_CHILD_SIDE void run_child(const PreparedExec& prep, int in, int out, int err) {
  ::setpgid(0, 0);
  if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0)
    ::_exit(kSetupFailedStatus);
  ::close_range(3, ~0U, 0);
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  const ChildSpec& spec = prep.spec;
  if (spec.private_namespace) {
    if (::unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0) child_fail(prep.unshare_failure);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) child_fail(prep.private_failure);
    for (std::size_t i = 0; i < spec.mounts.size(); ++i) {
      const MountStep& step = spec.mounts[i];
      if (::mount(or_null(step.source), step.target.c_str(), or_null(step.fstype), step.flags, or_null(step.data)) != 0)
        child_fail(prep.mount_failures[i]);
    }
  }
  if (!spec.cwd.empty() && ::chdir(spec.cwd.c_str()) != 0) child_fail(prep.chdir_failure);
  ::execve(spec.program.c_str(), prep.argv.data(), prep.envp.data());
  child_fail(prep.exec_failure);
}

// The child shares the test's memory and runs on a stack of its own until
// it execs, while the test waits (as posix_spawn does): a fork would copy
// the test's page tables and make its next write to every page a fault,
// which on some virtual machines costs more than the test's own work.
constexpr std::size_t kChildStackSize = 64 * 1024;

struct ChildStart {
  const PreparedExec& prep;
  int in, out, err;
};

TOLN_CHILD_SIDE int start_child(void* arg) {
  const auto* start = static_cast<const ChildStart*>(arg);
  run_child(start->prep, start->in, start->out, start->err);
}

// A write to a pipe whose reader is gone must not kill the test process:
// SIGPIPE is blocked around the write and a pending one is taken back.
ssize_t write_without_sigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipe_set, old_set;
  ::sigemptyset(&pipe_set);
  ::sigaddset(&pipe_set, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  const ssize_t n = ::write(fd, data, size);
  const int errnum = errno;
  if (n < 0 && errnum == EPIPE) {
    const timespec no_wait{};
    ::sigtimedwait(&pipe_set, nullptr, &no_wait);
  }
  ::pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  errno = errnum;
  return n;
}

// Takes in what the pipe holds now; closes it at end-of-file or on error.
void read_available(UniqueFd& pipe, std::string& sink) {
  char buffer[65536];
  while (pipe.valid()) {
    const ssize_t n = ::read(pipe.get(), buffer, sizeof buffer);
    if (n > 0) {
      sink.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else {
      pipe.reset();
    }
  }
}

int poll_timeout_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1'000'000));
}

}  // namespace

ChildProcess::ChildProcess(const ChildSpec& spec, std::string stdin_text) : input_(std::move(stdin_text)) {
  const PreparedExec prep(spec);
  auto [in_read, in_write] = make_pipe();
  auto [out_read, out_write] = make_pipe();
  auto [err_read, err_write] = make_pipe();
  // O_NONBLOCK belongs to each end's own file description: the child's ends
  // stay blocking.
  for (const auto* fd : {&in_write, &out_read, &err_read}) set_nonblocking(fd->get());
  // Children that write hundreds of mebibytes fill a pipe of the default
  // 64 KiB thousands of times; a larger one takes fewer turns. The kernel
  // may refuse it (a user's pipe quota), which changes nothing else.
  for (const auto* fd : {&out_read, &err_read}) (void)::fcntl(fd->get(), F_SETPIPE_SZ, kPipeSize);

  ChildStart start{prep, in_read.get(), out_write.get(), err_write.get()};
  std::vector<char> child_stack(kChildStackSize);
  pid_ = ::clone(start_child, child_stack.data() + child_stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
  if (pid_ < 0) throw_errno("clone");
  // Both sides set the group, so it exists whichever runs first.
  ::setpgid(pid_, pid_);

  pidfd_ = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  if (!pidfd_.valid()) {
    const int errnum = errno;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    errno = errnum;
    throw_errno("pidfd_open");
  }
  stdin_pipe_ = std::move(in_write);
  stdout_pipe_ = std::move(out_read);
  stderr_pipe_ = std::move(err_read);
  if (input_.empty()) stdin_pipe_.reset();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_pipe_(std::move(other.stdin_pipe_)),
      stdout_pipe_(std::move(other.stdout_pipe_)),
      stderr_pipe_(std::move(other.stderr_pipe_)),
      pidfd_(std::move(other.pidfd_)),
      input_(std::move(other.input_)),
      written_(other.written_),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)),
      wait_status_(other.wait_status_) {}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || exited()) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

const std::string& ChildProcess::out() {
  pump(Clock::now(), nullptr);
  return out_;
}

const std::string& ChildProcess::err() {
  pump(Clock::now(), nullptr);
  return err_;
}

bool ChildProcess::wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  pump(Clock::now() + timeout, done);
  return done ? done() : exited();
}

bool ChildProcess::wait_for_err(const std::function<bool(std::string_view)>& pred, std::chrono::milliseconds timeout) {
  return wait_until([&] { return pred(err_); }, timeout);
}

std::optional<RunResult> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (!wait_until(nullptr, timeout)) return std::nullopt;
  return result();
}

RunResult ChildProcess::stop(std::chrono::milliseconds grace) {
  if (!exited()) {
    ::kill(-pid_, SIGTERM);
    pump(Clock::now() + grace, nullptr);
  }
  return kill();
}

RunResult ChildProcess::kill() {
  if (!exited()) {
    ::kill(-pid_, SIGKILL);
    pump(Clock::now() + std::chrono::seconds(30), nullptr);
  }
  return result();
}

void ChildProcess::pump(Clock::time_point deadline, const std::function<bool()>& done) {
  for (;;) {
    if (exited() || (done && done())) return;
    pollfd fds[4];
    nfds_t count = 0;
    const auto watch = [&](const UniqueFd& fd, short events) {
      if (fd.valid()) fds[count++] = pollfd{fd.get(), events, 0};
    };
    watch(stdin_pipe_, POLLOUT);
    watch(stdout_pipe_, POLLIN);
    watch(stderr_pipe_, POLLIN);
    watch(pidfd_, POLLIN);
    const int timeout_ms = poll_timeout_ms(deadline);
    const int ready = ::poll(fds, count, timeout_ms);
    if (ready < 0 && errno != EINTR) throw_errno("poll");
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == stdin_pipe_.get()) {
        while (written_ < input_.size()) {
          const ssize_t n =
              write_without_sigpipe(stdin_pipe_.get(), input_.data() + written_, input_.size() - written_);
          if (n > 0) {
            written_ += static_cast<std::size_t>(n);
          } else if (n < 0 && errno == EINTR) {
            continue;
          } else if (n < 0 && errno == EAGAIN) {
            break;
          } else {
            written_ = input_.size();  // the child stopped reading
          }
        }
        if (written_ == input_.size()) stdin_pipe_.reset();
      } else if (fds[i].fd == stdout_pipe_.get()) {
        read_available(stdout_pipe_, out_);
      } else if (fds[i].fd == stderr_pipe_.get()) {
        read_available(stderr_pipe_, err_);
      } else if (fds[i].fd == pidfd_.get()) {
        handle_exit();
      }
    }
    if (timeout_ms == 0) return;
  }
}

void ChildProcess::handle_exit() {
  // The child is a zombie now; its group goes before it is reaped so the
  // group id cannot have been reused.
  ::kill(-pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw_errno("waitpid");
  }
  wait_status_ = status;
  pidfd_.reset();
  stdin_pipe_.reset();
  // What is left in the pipes was written before the end; a process that
  // escaped the group may hold them open, so the wait is bounded.
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (stdout_pipe_.valid() || stderr_pipe_.valid()) {
    pollfd fds[2];
    nfds_t count = 0;
    for (const auto* fd : {&stdout_pipe_, &stderr_pipe_})
      if (fd->valid()) fds[count++] = pollfd{fd->get(), POLLIN, 0};
    const int timeout_ms = poll_timeout_ms(deadline);
    if (::poll(fds, count, timeout_ms) < 0 && errno != EINTR) throw_errno("poll");
    read_available(stdout_pipe_, out_);
    read_available(stderr_pipe_, err_);
    if (timeout_ms == 0) break;
  }
  stdout_pipe_.reset();
  stderr_pipe_.reset();
}

RunResult ChildProcess::result() const {
  RunResult result;
  if (wait_status_) {
    if (WIFEXITED(*wait_status_)) result.exit_status = WEXITSTATUS(*wait_status_);
    if (WIFSIGNALED(*wait_status_)) result.term_signal = WTERMSIG(*wait_status_);
  }
  result.out = out_;
  result.err = err_;
  return result;
}

RunResult run_program(const ChildSpec& spec, std::string stdin_text, std::chrono::milliseconds timeout) {
  ChildProcess child(spec, std::move(stdin_text));
  if (auto result = child.wait_exit(timeout)) return std::move(*result);
  RunResult result = child.kill();
  result.timed_out = true;
  return result;
}

}  // namespace toln::testing
