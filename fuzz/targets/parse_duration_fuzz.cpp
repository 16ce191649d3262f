// parse_duration on any text: what it accepts is a whole number of seconds
// that the text spells out, and every refusal is a configuration error.
#include <string>
#include <string_view>

#include "check.hpp"
#include "serve/duration.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!toln::is_valid_utf8(text)) return 0;  // command-line values are UTF-8
  auto seconds = toln::parse_duration(text);
  if (!seconds) {
    TOLN_FUZZ_CHECK(seconds.error().kind() == toln::AgentError::Config);
    return 0;
  }
  const std::string_view trimmed = toln::trim_white(text);
  TOLN_FUZZ_CHECK(!trimmed.empty());
  const char unit = trimmed.back();
  const std::string_view digits = unit >= '0' && unit <= '9' ? trimmed : trimmed.substr(0, trimmed.size() - 1);
  TOLN_FUZZ_CHECK(!digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos);
  const std::uint64_t per_unit = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 1;
  TOLN_FUZZ_CHECK(*seconds % per_unit == 0);
  // The same duration in seconds reads back the same.
  auto again = toln::parse_duration(std::to_string(*seconds));
  TOLN_FUZZ_CHECK(again && *again == *seconds);
  return 0;
}
