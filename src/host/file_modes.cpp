#include "host/file_modes.hpp"

#include <cstdio>

namespace toln {

Result<std::uint32_t> parse_mode(std::string_view text) {
  const auto invalid = [text] { return AgentError::resource("invalid mode: " + std::string(text)); };
  std::string_view digits = text;
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return invalid();
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '7') return invalid();
    value = value * 8 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return invalid();
  }
  return static_cast<std::uint32_t>(value);
}

std::string format_mode(std::uint32_t mode) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04o", mode);
  return buffer;
}

}  // namespace toln
