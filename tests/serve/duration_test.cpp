#include "serve/duration.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

std::string outcome(const Result<std::uint64_t>& parsed) {
  return parsed ? std::to_string(*parsed) : display_agent_error(parsed.error());
}

TEST(ParseDuration, ValuesAndEveryFault) {
  struct Case {
    std::string text;
    std::string outcome;
  } cases[] = {
      {"5", "5"},
      {"0", "0"},
      {"00h", "0"},
      {"  5m\t", "300"},
      {"\u00a05m\u3000", "300"},
      {"30s", "30"},
      {"2h", "7200"},
      {"2d", "172800"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551615s", "18446744073709551615"},
      {"", "config error: duration must not be empty"},
      {" \t\n", "config error: duration must not be empty"},
      {"18446744073709551616", "config error: duration value too large: 18446744073709551616"},
      {"m", "config error: duration is missing a numeric value before the unit: m"},
      {"+5m", "config error: duration must be a non-negative integer: +5m"},
      {"-5m", "config error: duration must be a non-negative integer: -5m"},
      {"-1.5x", "config error: duration must be a non-negative integer: -1.5x"},
      {"1.5h", "config error: duration must be an integer (no decimals): 1.5h"},
      {"1.5x", "config error: duration must be an integer (no decimals): 1.5x"},
      {"5 s", "config error: duration numeric part is not a valid non-negative integer: 5 s"},
      {"ax", "config error: duration numeric part is not a valid non-negative integer: ax"},
      {"18446744073709551616s",
       "config error: duration numeric part is not a valid non-negative integer: 18446744073709551616s"},
      {"1x", "config error: unknown duration unit x in 1x; expected s, m, h, or d"},
      {"5M", "config error: unknown duration unit M in 5M; expected s, m, h, or d"},
      {"5\u00b5", "config error: unknown duration unit \u00b5 in 5\u00b5; expected s, m, h, or d"},
      {"5ms", "config error: duration numeric part is not a valid non-negative integer: 5ms"},
      {"18446744073709551615m", "config error: duration overflows u64 seconds: 18446744073709551615m"},
      {"213503982334602d", "config error: duration overflows u64 seconds: 213503982334602d"},
      {"213503982334601d", "18446744073709526400"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(parse_duration(c.text)), c.outcome) << "'" << c.text << "'";
}

TEST(ResolveInterval, OnceNeedsNoIntervalOtherwiseOneAboveZero) {
  struct Case {
    std::optional<std::string> text;
    bool once;
    std::string outcome;  // "none", the seconds, or the error
  } cases[] = {
      {std::nullopt, true, "none"},
      {"0", true, "none"},
      {"bogus", true, "none"},
      {"5m", true, "none"},
      {"5m", false, "300"},
      {" 1s ", false, "1"},
      {std::nullopt, false, "config error: --interval is required when --once is not set; pass e.g. --interval 5m"},
      {"0", false, "config error: --interval must be greater than zero; a zero duration would busy-loop"},
      {"0s", false, "config error: --interval must be greater than zero; a zero duration would busy-loop"},
      {"00h", false, "config error: --interval must be greater than zero; a zero duration would busy-loop"},
      {"", false, "config error: duration must not be empty"},
      {"1.5h", false, "config error: duration must be an integer (no decimals): 1.5h"},
  };
  for (const auto& c : cases) {
    const auto resolved = resolve_interval(c.text, c.once);
    const std::string got = !resolved ? display_agent_error(resolved.error())
                            : *resolved ? std::to_string(**resolved)
                                        : "none";
    EXPECT_EQ(got, c.outcome) << c.text.value_or("(absent)") << (c.once ? " with --once" : "");
  }
}

}  // namespace
}  // namespace toln
