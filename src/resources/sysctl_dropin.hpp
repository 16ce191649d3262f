#pragma once
// The agent's sysctl drop-in file: one "{key} = {value}" line per managed
// key; comments, blank lines and other settings stay where they are.
//
// A line sets a key when, trimmed of white space, it does not begin with "#",
// holds "=", and the text before its first "=" is the key once trimmed.

#include <string>
#include <string_view>
#include <vector>

namespace toln {

// Whether some line holds the setting: trimmed, not a comment, and equal to
// "{key}={value}" once blanks (U+0020) around the first "=" and at the ends
// are removed from both and every other run of blanks is cut to one; tabs
// count.
bool sysctl_line_present(const std::vector<std::string_view>& lines, std::string_view key, std::string_view value);

// The lines of text that do not set key, each unchanged.
std::vector<std::string_view> sysctl_other_lines(std::string_view text, std::string_view key);

// sysctl_other_lines, then "{key} = {value}", joined by line feeds with a
// final one.
std::string sysctl_dropin_content(std::string_view text, std::string_view key, std::string_view value);

}  // namespace toln
