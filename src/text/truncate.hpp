#pragma once
// Output quoted in a message is cut short on a character boundary, and the
// cut is marked so that nobody takes the quote for the whole text.

#include <string>
#include <string_view>

namespace toln {

// Appended to a text that was cut short where it is quoted.
inline constexpr std::string_view kTruncatedMarker = "...(truncated)";

// At most 2000 bytes, cut on a character boundary, "...(truncated)" appended
// when cut.
std::string truncate_output(std::string_view text);

}  // namespace toln
