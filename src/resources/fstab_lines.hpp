#pragma once
// Editing the entry of one mount point in fstab text. A line is an entry
// when, trimmed of white space, it is not empty and does not begin with "#";
// its fields are its white-space separated words, and it belongs to the
// mount point whose path is its second field. Every other line is kept as it
// is and where it is.

#include <optional>
#include <string>
#include <string_view>

namespace toln {

// The first line (untrimmed, without its line end) that belongs to path.
std::optional<std::string> fstab_find_line(std::string_view text, std::string_view path);

// Whether the first entry of path has the fields of wanted (blanks against
// tabs and runs of blanks do not count).
bool fstab_holds_entry(std::string_view text, std::string_view wanted, std::string_view path);

// Every entry of path replaced in place by wanted; wanted appended when path
// had none. Ends in a line feed.
std::string fstab_upsert_line(std::string_view text, std::string_view wanted, std::string_view path);

// Every entry of path dropped. Ends in a line feed unless nothing is left.
std::string fstab_remove_line(std::string_view text, std::string_view path);

}  // namespace toln
