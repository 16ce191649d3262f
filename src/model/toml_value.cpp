#include "model/toml_value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace toln {
namespace {

std::string two_digits(unsigned value) {
  char buffer[3] = {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10), 0};
  return buffer;
}

}  // namespace

std::string datetime_text(const TomlDateTime& value) {
  std::string out;
  if (value.date) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04u-", static_cast<unsigned>(value.date->year));
    out += buffer;
    out += two_digits(value.date->month) + "-" + two_digits(value.date->day);
  }
  if (value.date && value.time) out += 'T';
  if (value.time) {
    out += two_digits(value.time->hour) + ":" + two_digits(value.time->minute) + ":" + two_digits(value.time->second);
    if (value.time->nanosecond != 0) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%09u", static_cast<unsigned>(value.time->nanosecond));
      std::string fraction = buffer;
      while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
      out += "." + fraction;
    }
  }
  if (value.offset_minutes) {
    const int minutes = *value.offset_minutes;
    if (minutes == 0) {
      out += 'Z';
    } else {
      const int magnitude = minutes < 0 ? -minutes : minutes;
      out += minutes < 0 ? '-' : '+';
      out += two_digits(static_cast<unsigned>(magnitude / 60)) + ":" + two_digits(static_cast<unsigned>(magnitude % 60));
    }
  }
  return out;
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[512];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

std::string float_text_with_point(double value) {
  std::string text = float_text(value);
  if (std::isfinite(value) && text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace toln
