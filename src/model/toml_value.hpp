#pragma once
// A property value or parameter default exactly as the TOML document gave it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace toln {

struct TomlDate {
  std::uint16_t year = 0;
  std::uint8_t month = 0;
  std::uint8_t day = 0;
};

struct TomlTime {
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::uint8_t second = 0;
  std::uint32_t nanosecond = 0;
};

// An offset date-time, local date-time, local date or local time.
struct TomlDateTime {
  std::optional<TomlDate> date;
  std::optional<TomlTime> time;
  std::optional<std::int16_t> offset_minutes;
};

struct TomlValue;
using TomlArray = std::vector<TomlValue>;
// Entries ordered by key, byte-wise.
using TomlTable = std::map<std::string, TomlValue, std::less<>>;

struct TomlValue {
  using Storage = std::variant<std::string, std::int64_t, double, bool, TomlDateTime, TomlArray, TomlTable>;
  Storage value;

  const std::string* as_string() const { return std::get_if<std::string>(&value); }
  const bool* as_bool() const { return std::get_if<bool>(&value); }
  const TomlArray* as_array() const { return std::get_if<TomlArray>(&value); }
  const TomlTable* as_table() const { return std::get_if<TomlTable>(&value); }
};

// "2024-01-02T03:04:05.5+01:00": the date, "T", the time with a fraction only
// when the nanoseconds are not zero, then "Z" or a signed offset.
std::string datetime_text(const TomlDateTime& value);

// The shortest decimal digits that read back as the same number, positional
// (no exponent), no fraction for whole values; "NaN", "inf", "-inf".
std::string float_text(double value);

// float_text with ".0" appended to a finite value that shows no decimal
// point, as messages show a float found ("floating point `1.0`").
std::string float_text_with_point(double value);

}  // namespace toln
