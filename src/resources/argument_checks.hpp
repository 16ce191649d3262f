#pragma once
// Property values that end up on a host program's command line. A NUL byte
// would cut the argument short at the system call, and a leading "-" would
// make the program read a value as one of its options ("--upload-pack=..."
// as a git URL runs a command), so such values are refused before anything
// runs.

#include <string_view>

#include "model/result.hpp"

namespace toln {

// "{type} resource: {what} contains a NUL byte".
Status require_no_nul_byte(std::string_view resource_type, std::string_view what, std::string_view value);

// The NUL check, then "{type} resource: {what} must not begin with '-': {value}".
Status require_not_option_like(std::string_view resource_type, std::string_view what, std::string_view value);

}  // namespace toln
