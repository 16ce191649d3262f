#pragma once
// Paths reach system calls as C strings: one holding a NUL byte would name
// another file, so such paths are refused before any call.

#include <string>
#include <string_view>

#include "model/result.hpp"

namespace toln {

// "path contains a NUL byte: {}".
Status require_no_nul(std::string_view path);

}  // namespace toln
