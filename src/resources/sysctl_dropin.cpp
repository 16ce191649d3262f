#include "resources/sysctl_dropin.hpp"

#include <optional>

#include "text/lines.hpp"
#include "text/unicode.hpp"

namespace toln {
namespace {

struct Setting {
  std::string_view key;
  std::string_view value;
};

std::optional<Setting> setting_of(std::string_view line) {
  const std::string_view trimmed = trim_white(line);
  if (trimmed.starts_with('#')) return std::nullopt;
  const std::size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return Setting{trim_white(trimmed.substr(0, equals)), trim_white(trimmed.substr(equals + 1))};
}

}  // namespace

bool sysctl_same_value(std::string_view a, std::string_view b) { return split_white(a) == split_white(b); }

bool sysctl_line_present(const std::vector<std::string_view>& lines, std::string_view key, std::string_view value) {
  std::optional<std::string_view> last_value;
  for (std::string_view line : lines) {
    const auto setting = setting_of(line);
    if (setting && setting->key == key) last_value = setting->value;
  }
  return last_value && sysctl_same_value(*last_value, value);
}

std::vector<std::string_view> sysctl_other_lines(std::string_view text, std::string_view key) {
  std::vector<std::string_view> kept;
  for (std::string_view line : split_lines(text)) {
    const auto setting = setting_of(line);
    if (!setting || setting->key != key) kept.push_back(line);
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
