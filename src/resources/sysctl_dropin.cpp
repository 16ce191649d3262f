#include "resources/sysctl_dropin.hpp"

#include "text/lines.hpp"
#include "text/unicode.hpp"

namespace toln {
namespace {

// The text with each run of blanks (U+0020) cut to one and none at the ends.
std::string single_blanks(std::string_view text) {
  std::string out;
  bool blank = false;
  for (char c : text) {
    if (c == ' ') {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(' ');
    blank = false;
    out.push_back(c);
  }
  return out;
}

// A setting as compared: blanks around its first "=" do not count, nor runs
// of them inside the value; the words stay apart, so that "32768 60999" is
// never "3276860999".
std::string compared_setting(std::string_view key, std::string_view value) {
  return single_blanks(key) + "=" + single_blanks(value);
}

bool sets_key(std::string_view line, std::string_view key) {
  const std::string_view trimmed = trim_white(line);
  if (trimmed.starts_with('#')) return false;
  const std::size_t equals = trimmed.find('=');
  return equals != std::string_view::npos && trim_white(trimmed.substr(0, equals)) == key;
}

}  // namespace

bool sysctl_line_present(const std::vector<std::string_view>& lines, std::string_view key, std::string_view value) {
  // A multi-word value written "a  b" would otherwise never be found, and
  // the file rewritten on every run.
  const std::string wanted = compared_setting(key, value);
  for (std::string_view line : lines) {
    const std::string_view trimmed = trim_white(line);
    const std::size_t equals = trimmed.find('=');
    if (trimmed.starts_with('#') || equals == std::string_view::npos) continue;
    if (compared_setting(trimmed.substr(0, equals), trimmed.substr(equals + 1)) == wanted) return true;
  }
  return false;
}

std::vector<std::string_view> sysctl_other_lines(std::string_view text, std::string_view key) {
  std::vector<std::string_view> kept;
  for (std::string_view line : split_lines(text)) {
    if (!sets_key(line, key)) kept.push_back(line);
  }
  return kept;
}

std::string sysctl_dropin_content(std::string_view text, std::string_view key, std::string_view value) {
  const std::string setting = std::string(key) + " = " + std::string(value);
  std::vector<std::string_view> lines = sysctl_other_lines(text, key);
  lines.push_back(setting);
  return join_lines(lines) + "\n";
}

}  // namespace toln
