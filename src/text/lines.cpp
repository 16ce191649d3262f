#include "text/lines.hpp"

namespace toln {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    std::string_view line = text.substr(0, feed);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(feed + 1);
  }
  return lines;
}

std::string join_lines(const std::vector<std::string_view>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i != 0) out.push_back('\n');
    out.append(lines[i]);
  }
  return out;
}

bool has_line_break(std::string_view text) {
  if (text.find_first_of("\n\v\f\r") != std::string_view::npos) return true;
  for (std::string_view encoded : {"\u0085", "\u2028", "\u2029"}) {
    if (text.find(encoded) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace toln
