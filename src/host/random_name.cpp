#include "host/random_name.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace toln {

Result<std::string> random_name_part() {
  std::uint8_t bytes[8];
  ssize_t got = -1;
  while ((got = ::getrandom(bytes, sizeof bytes, 0)) < 0 && errno == EINTR) {
  }
  if (got != static_cast<ssize_t>(sizeof bytes)) return AgentError::io(got < 0 ? errno : EIO);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

}  // namespace toln
