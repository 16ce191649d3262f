#include "host/console.hpp"

#include <unistd.h>

#include <string>

#include "host/fd_io.hpp"

namespace toln {

void write_stdout(std::string_view text) {
  if (const int outcome = write_all(STDOUT_FILENO, text)) {
    (void)write_all(STDERR_FILENO, "failed printing to stdout: " + write_failure_text(outcome) + "\n");
    ::_exit(101);
  }
}

void write_stderr(std::string_view text) {
  if (write_all(STDERR_FILENO, text) != 0) ::_exit(101);
}

void internal_failure(std::string_view what) {
  (void)write_all(STDERR_FILENO, "toln-agent: internal error: " + std::string(what) + "\n");
  ::_exit(101);
}

void exit_process(int status) { ::_exit(status); }

}  // namespace toln
