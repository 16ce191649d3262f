#include "resources/fstab_lines.hpp"

#include <vector>

#include "text/lines.hpp"
#include "text/unicode.hpp"

namespace toln {
namespace {

std::vector<std::string_view> entry_fields(std::string_view line) {
  const std::string_view trimmed = trim_white(line);
  if (trimmed.empty() || trimmed.starts_with('#')) return {};
  return split_white(trimmed);
}

bool belongs_to(std::string_view line, std::string_view path) {
  const auto fields = entry_fields(line);
  return fields.size() >= 2 && fields[1] == path;
}

// Joined text that is not empty ends in a line feed; a blank last line
// already supplies it, and a file left with one blank line only is empty.
std::string join_with_final_feed(const std::vector<std::string_view>& lines) {
  std::string text = join_lines(lines);
  if (!text.empty() && !text.ends_with('\n')) text.push_back('\n');
  return text;
}

}  // namespace

std::optional<std::string> fstab_find_line(std::string_view text, std::string_view path) {
  for (std::string_view line : split_lines(text)) {
    if (belongs_to(line, path)) return std::string(line);
  }
  return std::nullopt;
}

bool fstab_holds_entry(std::string_view text, std::string_view wanted, std::string_view path) {
  const auto line = fstab_find_line(text, path);
  return line && entry_fields(*line) == split_white(wanted);
}

std::string fstab_upsert_line(std::string_view text, std::string_view wanted, std::string_view path) {
  std::vector<std::string_view> lines;
  bool placed = false;
  for (std::string_view line : split_lines(text)) {
    const bool own = belongs_to(line, path);
    lines.push_back(own ? wanted : line);
    placed = placed || own;
  }
  if (!placed) lines.push_back(wanted);
  return join_with_final_feed(lines);
}

std::string fstab_remove_line(std::string_view text, std::string_view path) {
  std::vector<std::string_view> lines;
  for (std::string_view line : split_lines(text)) {
    if (!belongs_to(line, path)) lines.push_back(line);
  }
  return join_with_final_feed(lines);
}

}  // namespace toln
