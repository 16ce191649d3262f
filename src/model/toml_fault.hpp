#pragma once
// The layout of a fault with a place in the TOML document:
//   TOML parse error at line {}, column {}
//      |
//   {} | {source line}
//      |  ^^^
//   {message}

#include <cstdint>
#include <string>
#include <string_view>

namespace toln {

struct TextPosition {
  std::uint32_t line = 0;    // from 1; 0 = no place in the document
  std::uint32_t column = 0;  // from 1, in characters
};

// The carets run from begin to end (exclusive) when both are on one line, to
// the end of the line when end is on a later one, and are one caret for a
// point; at least one caret, none past the line's end where the line allows
// it.
std::string format_toml_fault(std::string_view text, TextPosition begin, TextPosition end,
                              std::string_view message);

}  // namespace toln
