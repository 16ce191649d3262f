#include "serve/duration.hpp"

#include <charconv>
#include <string>

#include "text/unicode.hpp"

namespace toln {
namespace {

bool all_ascii_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Decimal digits into 64 bits; absent on overflow.
std::optional<std::uint64_t> to_u64(std::string_view digits) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// Where the last character of valid UTF-8 text begins.
std::size_t last_char_start(std::string_view text) {
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return start;
}

std::optional<std::uint64_t> unit_seconds(std::string_view unit) {
  if (unit == "s") return 1;
  if (unit == "m") return 60;
  if (unit == "h") return 3600;
  if (unit == "d") return 86400;
  return std::nullopt;
}

AgentError fault(std::string_view what, std::string_view text) {
  return AgentError::config(std::string(what) + std::string(text));
}

}  // namespace

Result<std::uint64_t> parse_duration(std::string_view raw) {
  const std::string_view text = trim_white(raw);
  if (text.empty()) return AgentError::config("duration must not be empty");
  if (all_ascii_digits(text)) {
    if (auto seconds = to_u64(text)) return *seconds;
    return fault("duration value too large: ", text);
  }

  const std::size_t unit_start = last_char_start(text);
  const std::string_view number = text.substr(0, unit_start);
  const std::string_view unit = text.substr(unit_start);
  if (number.empty()) return fault("duration is missing a numeric value before the unit: ", text);
  if (number.front() == '+' || number.front() == '-') return fault("duration must be a non-negative integer: ", text);
  if (number.find('.') != std::string_view::npos) return fault("duration must be an integer (no decimals): ", text);
  const auto count = all_ascii_digits(number) ? to_u64(number) : std::nullopt;
  if (!count) return fault("duration numeric part is not a valid non-negative integer: ", text);
  const auto per_unit = unit_seconds(unit);
  if (!per_unit) {
    return AgentError::config("unknown duration unit " + std::string(unit) + " in " + std::string(text) +
                              "; expected s, m, h, or d");
  }
  std::uint64_t seconds = 0;
  if (__builtin_mul_overflow(*count, *per_unit, &seconds)) return fault("duration overflows u64 seconds: ", text);
  return seconds;
}

Result<std::optional<std::uint64_t>> resolve_interval(const std::optional<std::string>& text, bool once) {
  if (once) return std::optional<std::uint64_t>();
  if (!text) return AgentError::config("--interval is required when --once is not set; pass e.g. --interval 5m");
  auto seconds = parse_duration(*text);
  if (!seconds) return std::move(seconds).error();
  if (*seconds == 0) {
    return AgentError::config("--interval must be greater than zero; a zero duration would busy-loop");
  }
  return std::optional<std::uint64_t>(*seconds);
}

}  // namespace toln
