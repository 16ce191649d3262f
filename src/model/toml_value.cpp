#include "model/toml_value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

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
  // The scientific format without a precision gives the shortest digits
  // that read back as the same number ("1e+23"). The fixed format, and the
  // default where it picks the fixed form, gives the exact binary value's
  // digits instead (99999999999999991611392, 1152921504606846976), so the
  // digits are laid out here.
  char buffer[32];
  const std::string_view shortest(
      buffer, std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr);
  const bool negative = shortest.front() == '-';
  const std::string_view unsigned_text = shortest.substr(negative ? 1 : 0);
  const std::size_t e = unsigned_text.find('e');
  const std::string_view mantissa = unsigned_text.substr(0, e);
  int exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view exponent_text = unsigned_text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  }

  // The significant digits, and where the decimal point falls among them.
  const std::size_t dot = mantissa.find('.');
  std::string digits(mantissa.substr(0, dot));
  long point = static_cast<long>(digits.size()) + exponent;
  if (dot != std::string_view::npos) digits += mantissa.substr(dot + 1);
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return negative ? "-0" : "0";
  digits.erase(0, first);
  point -= static_cast<long>(first);
  digits.erase(digits.find_last_not_of('0') + 1);

  std::string text = negative ? "-" : "";
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    text += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    text += digits + std::string(static_cast<std::size_t>(point - count), '0');
  } else {
    text += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
  }
  return text;
}

std::string float_text_with_point(double value) {
  std::string text = float_text(value);
  if (std::isfinite(value) && text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace toln
