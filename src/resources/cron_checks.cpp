#include <charconv>
#include <cstdio>

#include "resources/cron.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

std::string hex_code_point(char32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(cp));
  return buffer;
}

// The first control character of text (tab allowed when said), if any.
std::optional<char32_t> first_control(std::string_view text, bool allow_tab) {
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = next_code_point(text, pos);
    if (is_control(cp) && !(allow_tab && cp == '\t')) return cp;
  }
  return std::nullopt;
}

// minute, hour, day of month, month, weekday; there is no minimum.
constexpr std::uint32_t kFieldMaxima[] = {59, 23, 31, 12, 7};

Status check_schedule_field(std::string_view field, std::uint32_t maximum) {
  const auto invalid = [&] {
    return AgentError::resource("cron schedule field '" + std::string(field) + "' contains invalid characters");
  };
  for (char c : field) {
    if (!(c >= '0' && c <= '9') && c != '*' && c != ',' && c != '-' && c != '/') return invalid();
  }
  const auto exceeds = [&](std::string_view value) {
    return AgentError::resource("cron schedule field '" + std::string(field) + "' value " + std::string(value) +
                                " exceeds maximum " + std::to_string(maximum));
  };
  std::size_t start = 0;
  while (start <= field.size()) {
    const std::size_t end = std::min(field.find_first_of(",-/", start), field.size());
    const std::string_view piece = field.substr(start, end - start);
    if (!piece.empty() && piece.find_first_not_of("0123456789") == std::string_view::npos) {
      std::uint32_t value = 0;
      const auto parsed = std::from_chars(piece.data(), piece.data() + piece.size(), value);
      // Too many digits for 32 bits is beyond every maximum too.
      if (parsed.ec != std::errc()) return exceeds(piece);
      if (value > maximum) return exceeds(std::to_string(value));
    }
    start = end + 1;
  }
  return {};
}

// Fields as cron itself reads them: between runs of blanks and tabs. Other
// white space (a no-break space, a line separator) stays inside a field,
// whose character check then refuses it.
std::vector<std::string_view> split_fields(std::string_view schedule) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while ((start = schedule.find_first_not_of(" \t", start)) != std::string_view::npos) {
    const std::size_t end = std::min(schedule.find_first_of(" \t", start), schedule.size());
    fields.push_back(schedule.substr(start, end - start));
    start = end;
  }
  return fields;
}

}  // namespace

Status check_cron_field(std::string_view label, std::string_view text) {
  if (const auto cp = first_control(text, false)) {
    return AgentError::resource("cron " + std::string(label) + " contains a control character (" + hex_code_point(*cp) +
                                "); newlines and control characters are not allowed");
  }
  return {};
}

Status check_cron_command(std::string_view command) {
  if (const auto cp = first_control(command, true)) {
    return AgentError::resource("cron command contains a control character (" + hex_code_point(*cp) +
                                "); newlines and control characters are not allowed (use a script file for "
                                "multi-line commands)");
  }
  return {};
}

Status check_cron_word(std::string_view label, std::string_view text) {
  bool splits = text.empty() || text.find('=') != std::string_view::npos;
  for (std::size_t pos = 0; pos < text.size() && !splits;) splits = is_white_space(next_code_point(text, pos));
  if (splits) {
    return AgentError::resource("cron " + std::string(label) + " '" + std::string(text) +
                                "' must not be empty or contain white space or '='");
  }
  return {};
}

Status validate_cron_schedule(std::string_view schedule) {
  if (schedule.find('\n') != std::string_view::npos) {
    return AgentError::resource("cron schedule must not contain newlines");
  }
  // A carriage return or form feed between fields is no line break for cron,
  // but is for many a reader of the file.
  if (const auto cp = first_control(schedule, true)) {
    return AgentError::resource("cron schedule contains a control character (" + hex_code_point(*cp) +
                                "); newlines and control characters are not allowed");
  }
  const auto fields = split_fields(schedule);
  if (fields.size() != std::size(kFieldMaxima)) {
    return AgentError::resource("cron schedule '" + std::string(schedule) +
                                "' must have exactly 5 fields (minute hour dom month weekday)");
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (auto checked = check_schedule_field(fields[i], kFieldMaxima[i]); !checked) return checked;
  }
  return {};
}

}  // namespace toln
