#pragma once
// Names that nobody can guess ahead of the agent, for what it makes beside
// a path that another user may be able to write.

#include <string>

#include "model/result.hpp"

namespace toln {

// 16 lower-case hexadecimal digits from the kernel's random source. The
// error is the cause alone (an OS error's text).
Result<std::string> random_name_part();

}  // namespace toln
