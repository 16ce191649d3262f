#pragma once
// Quoting a text for a message that shows a value found.

#include <string>
#include <string_view>

namespace toln {

// The text between double quotes, with quote, backslash and control
// characters escaped by a backslash: "a\"b" for a"b, "\n" for a line feed,
// "\u{1b}" for ESC.
std::string quoted_text(std::string_view text);

}  // namespace toln
