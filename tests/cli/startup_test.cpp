// The start-up's handling of fatal signals, in a forked copy of the test
// (no host program is started): even a stack overflow, which leaves no room
// on the stack, ends with status 101 and the one diagnostic line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "cli/startup.hpp"

namespace toln {
namespace {

volatile bool keep_recursing = true;

[[gnu::noinline]] int recurse(volatile char* previous) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(previous ? previous[0] + 1 : 0);
  if (!keep_recursing) return frame[0];
  // Used after the call, so the call cannot become a loop.
  return recurse(frame) + frame[1];
}

struct Ended {
  int wait_status = 0;
  std::string err;
};

// Runs body in a child whose standard error is a pipe, after the start-up.
Ended run_after_startup(void (*body)()) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDERR_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    prepare_process();
    body();
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  Ended ended;
  char buffer[256];
  ssize_t n = 0;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) ended.err.append(buffer, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  ::waitpid(pid, &ended.wait_status, 0);
  return ended;
}

TEST(Startup, StackOverflowEndsWith101AndOneLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reports fatal signals itself";
#endif
  const Ended ended = run_after_startup([] { (void)recurse(nullptr); });
  ASSERT_TRUE(WIFEXITED(ended.wait_status)) << "ended by signal " << WTERMSIG(ended.wait_status);
  EXPECT_EQ(WEXITSTATUS(ended.wait_status), 101);
  EXPECT_EQ(ended.err, "toln-agent: internal error: fatal signal 11\n");
}

}  // namespace
}  // namespace toln
