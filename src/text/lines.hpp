#pragma once
// Line-oriented files that handlers rewrite in part (/etc/fstab, the sysctl
// drop-in): one reading of lines for all of them, so that a line the handler
// does not own is found and kept the same way everywhere.

#include <string>
#include <string_view>
#include <vector>

namespace toln {

// The lines of text, split after each line feed; the line feed, and a
// carriage return just before it, are not part of a line. A last line
// without a line feed is a line; text ending in a line feed gives no empty
// last line; empty text has no lines. The views point into text.
std::vector<std::string_view> split_lines(std::string_view text);

// The lines joined by single line feeds, without a final one.
std::string join_lines(const std::vector<std::string_view>& lines);

// Whether text holds a mandatory line break: line feed, vertical tab, form
// feed, carriage return, U+0085, U+2028 or U+2029.
bool has_line_break(std::string_view text);

}  // namespace toln
