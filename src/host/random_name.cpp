#include "host/random_name.hpp"

#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace toln {

std::string random_name_part() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static std::atomic<std::uint64_t> count{0};
    bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^ (++count << 48);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

}  // namespace toln
