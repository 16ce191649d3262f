#pragma once
// Texts reach system calls as C strings, which end at the first NUL byte: a
// path, name, argument or environment value holding one would be cut short
// there and name another file, user or option. Such texts are refused
// before any call.

#include <string_view>

namespace toln {

inline bool has_nul_byte(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace toln
