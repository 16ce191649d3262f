#include "cli/agent_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include "host/unique_fd.hpp"

extern char** environ;

namespace toln::test {
namespace {

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Pipe make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

void read_available(UniqueFd& fd, std::string& into) {
  char buffer[65536];
  const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    fd.reset();
  }
}

// Feeds input to the child and drains its outputs at once, so neither side
// can block the other.
void exchange(UniqueFd& in, const std::string& input, UniqueFd& out, UniqueFd& err, AgentRun& run) {
  std::size_t written = 0;
  if (in.valid() && input.empty()) in.reset();
  if (in.valid()) ::fcntl(in.get(), F_SETFL, O_NONBLOCK);
  while (in.valid() || out.valid() || err.valid()) {
    pollfd fds[3] = {{in.get(), POLLOUT, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    if (fds[0].revents != 0) {
      const ssize_t n = ::write(in.get(), input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      // A child that stopped reading ends the feeding (EPIPE).
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in.reset();
    }
    if (fds[1].revents != 0) read_available(out, run.out);
    if (fds[2].revents != 0) read_available(err, run.err);
  }
}

}  // namespace

AgentRun run_agent(const std::vector<std::string>& args, const std::string& input, AgentOptions options) {
  // Our own writes into a pipe the agent has left must fail, not kill us.
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> argv_text = {TOLN_AGENT_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Pipe in, out = make_pipe(), err = make_pipe();
  switch (options.stdin_mode) {
    case StdinMode::Feed:
    case StdinMode::Unread:
      in = make_pipe();
      posix_spawn_file_actions_adddup2(&actions, in.read_end.get(), 0);
      break;
    case StdinMode::Closed: posix_spawn_file_actions_addclose(&actions, 0); break;
    case StdinMode::Directory:
      posix_spawn_file_actions_addopen(&actions, 0, "/", O_RDONLY | O_DIRECTORY, 0);
      break;
  }
  switch (options.stdout_mode) {
    case StdoutMode::Capture: posix_spawn_file_actions_adddup2(&actions, out.write_end.get(), 1); break;
    case StdoutMode::Closed: posix_spawn_file_actions_addclose(&actions, 1); break;
    case StdoutMode::BrokenPipe:
      out.read_end.reset();
      posix_spawn_file_actions_adddup2(&actions, out.write_end.get(), 1);
      break;
  }
  if (options.close_stderr) {
    posix_spawn_file_actions_addclose(&actions, 2);
  } else {
    posix_spawn_file_actions_adddup2(&actions, err.write_end.get(), 2);
  }

  if (options.stdin_mode == StdinMode::Unread) {
    EXPECT_EQ(::write(in.write_end.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
    in.write_end.reset();
  }

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv_text[0]);

  // Only the parent's ends stay open here, so end-of-file arrives when the
  // child is gone. A preloaded pipe keeps its read end to see what is left.
  if (options.stdin_mode != StdinMode::Unread) in.read_end.reset();
  out.write_end.reset();
  err.write_end.reset();

  AgentRun run;
  UniqueFd feed = options.stdin_mode == StdinMode::Feed ? std::move(in.write_end) : UniqueFd();
  exchange(feed, input, out.read_end, err.read_end, run);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (options.stdin_mode == StdinMode::Unread) {
    while (in.read_end.valid()) read_available(in.read_end, run.stdin_left);
  }
  return run;
}

}  // namespace toln::test
