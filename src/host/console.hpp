#pragma once
// Writing to the standard streams. A failed write ends the process with
// status 101: standard output with "failed printing to stdout: {}" on
// standard error, standard error silently (there is nowhere left to say it).

#include <string_view>

namespace toln {

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// A broken invariant: one diagnostic line, status 101.
[[noreturn]] void internal_failure(std::string_view what);

// Ends the process with status; nothing of ours is buffered on stdout.
[[noreturn]] void exit_process(int status);

}  // namespace toln
