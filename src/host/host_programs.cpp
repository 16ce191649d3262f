#include "host/host_programs.hpp"

#include <charconv>
#include <cstdlib>

namespace toln::host_programs::transfer_bounds {

std::string low_speed_time_from(const char* given) {
  constexpr int kLongest = 30;
  const std::string_view text = given ? given : "";
  int seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  const bool shorter = error == std::errc() && end == text.data() + text.size() && seconds >= 1 && seconds <= kLongest;
  return std::to_string(shorter ? seconds : kLongest);
}

const std::string& low_speed_time() {
  static const std::string seconds = low_speed_time_from(std::getenv("TOLN_TEST_LOW_SPEED_TIME"));
  return seconds;
}

}  // namespace toln::host_programs::transfer_bounds
