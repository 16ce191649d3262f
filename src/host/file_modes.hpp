#pragma once
// Permission bits as octal texts.

#include <cstdint>
#include <string>
#include <string_view>

#include "model/result.hpp"

namespace toln {

// An octal number: one leading "+" allowed, octal digits only, fitting 32
// bits; else "invalid mode: {}".
Result<std::uint32_t> parse_mode(std::string_view text);

// Permission bits in octal, zero-padded to at least four digits ("0644").
std::string format_mode(std::uint32_t mode);

}  // namespace toln
