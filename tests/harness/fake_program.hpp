#pragma once
// Fake host programs: POSIX sh scripts that record each invocation in a log
// and then run a test's body, which decides output and exit status.
//
// Log format: per invocation the argument count, the program name and each
// argument, every field ended by a NUL byte (the one byte an argument cannot
// hold).

#include <string>
#include <string_view>
#include <vector>

namespace toln::testing {

// Program name first, then each argument exactly as received.
using Invocation = std::vector<std::string>;

// Throws std::invalid_argument for a fake's name that is empty, ".", "..",
// or holds a slash or a NUL byte.
void check_fake_name(std::string_view name);

// The script for a fake called name: "#!/bin/sh", the line that appends the
// invocation to "$TOLN_FAKE_LOG", then body. Standard input is left to the
// body. The name is checked as above.
std::string fake_script(std::string_view name, std::string_view body);

// The invocations in a log, in order. Throws std::runtime_error for a log
// that is cut short or malformed.
std::vector<Invocation> parse_fake_log(std::string_view log);

// Programs that change the host beyond a mount namespace. Each gets a fake
// that refuses to run (logged, status 127, a "toln-harness: " line on
// standard error) unless the test supplies its own.
const std::vector<std::string>& refused_programs();
std::string refusing_body(std::string_view name);

}  // namespace toln::testing
