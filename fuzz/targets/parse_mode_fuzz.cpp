// parse_mode accepts exactly the octal numbers that fit 32 bits, and what it
// accepts formats back to the same value.
#include <string>
#include <string_view>

#include "check.hpp"
#include "host/file_modes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto mode = toln::parse_mode(text);
  std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
  const bool octal = !digits.empty() && digits.find_first_not_of("01234567") == std::string_view::npos;
  if (!mode) {
    TOLN_FUZZ_CHECK(mode.error().message() == "invalid mode: " + std::string(text));
    // Refused octal text must be too large for 32 bits.
    if (octal) TOLN_FUZZ_CHECK(digits.find_first_not_of('0') != std::string_view::npos && digits.size() >= 11);
    return 0;
  }
  TOLN_FUZZ_CHECK(octal);
  auto again = toln::parse_mode(toln::format_mode(*mode));
  TOLN_FUZZ_CHECK(again && *again == *mode);
  return 0;
}
