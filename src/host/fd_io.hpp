#pragma once
// Writing a whole buffer to a descriptor.

#include <string>
#include <string_view>

namespace toln {

// write_all's outcome when a write accepted no bytes.
inline constexpr int kWroteNothing = -1;

// Writes all of data, retrying writes interrupted by a signal: 0, the errno
// of a failed write, or kWroteNothing.
int write_all(int fd, std::string_view data);

// The outcome of a failed write_all as text: the OS error's text, or
// "failed to write whole buffer".
std::string write_failure_text(int outcome);

}  // namespace toln
