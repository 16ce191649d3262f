#pragma once
// The agent's sysctl drop-in file: one "{key} = {value}" line per managed
// key; comments, blank lines and other settings stay where they are.
//
// A line sets a key when, trimmed of white space, it does not begin with "#",
// holds "=", and the text before its first "=" is the key once trimmed; the
// trimmed text after that "=" is its value. Values compare as sysctl_same_value
// does.

#include <string>
#include <string_view>
#include <vector>

namespace toln {

// Whether two values are the same setting: the same white-space separated
// words. The kernel prints multi-word values separated by tabs, bundles
// write them with blanks, and either way the kernel reads the same numbers.
bool sysctl_same_value(std::string_view a, std::string_view b);

// Whether the setting stands: the last line that sets key (the one that
// wins when the file is applied) holds value.
bool sysctl_line_present(const std::vector<std::string_view>& lines, std::string_view key, std::string_view value);

// The lines of text that do not set key, each unchanged.
std::vector<std::string_view> sysctl_other_lines(std::string_view text, std::string_view key);

// sysctl_other_lines, then "{key} = {value}", joined by line feeds with a
// final one.
std::string sysctl_dropin_content(std::string_view text, std::string_view key, std::string_view value);

}  // namespace toln
