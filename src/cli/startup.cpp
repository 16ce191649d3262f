#include "cli/startup.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "host/console.hpp"

namespace toln {
namespace {

void reopen_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open returns the lowest free descriptor, which is this one.
    if (::open("/dev/null", O_RDWR) != fd) std::abort();
  }
}

void on_terminate() {
  const auto current = std::current_exception();
  if (current) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      internal_failure(e.what());
    } catch (...) {
    }
  }
  internal_failure("unexpected termination");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

void on_fatal_signal(int signal_number) {
  // Only async-signal-safe calls here.
  char message[] = "toln-agent: internal error: fatal signal   \n";
  message[sizeof message - 4] = static_cast<char>('0' + signal_number / 10 % 10);
  message[sizeof message - 3] = static_cast<char>('0' + signal_number % 10);
  (void)!::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(101);
}

// The handler's own stack: a stack overflow leaves no room on the thread's
// stack to run it. Only the main thread has one; worker threads run no
// recursive code.
alignas(16) char signal_stack[64 * 1024];

void catch_fatal_signals() {
  // The sanitizers report these signals themselves.
  if (kUnderSanitizer) return;
  stack_t stack{};
  stack.ss_sp = signal_stack;
  stack.ss_size = sizeof signal_stack;
  // Cannot fail with a valid size; without it only an overflow goes unreported.
  (void)::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = on_fatal_signal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void tune_allocator() {
  // glibc keeps freed small blocks in fast bins and merges them all at once
  // at the next large request or free. After a large bundle's TOML document
  // is freed that merge walks millions of scattered blocks and takes a
  // quarter of the parse; without fast bins each block is merged as it is
  // freed, at no measurable cost elsewhere (see bench/README.md).
  ::mallopt(M_MXFAST, 0);
}

void prepare_process() {
  tune_allocator();
  reopen_closed_standard_descriptors();
  ::signal(SIGPIPE, SIG_IGN);
  std::set_terminate(on_terminate);
  catch_fatal_signals();
}

}  // namespace toln
