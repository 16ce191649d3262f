#include "serve/run_id.hpp"

#include <cstdio>

namespace toln {

std::string format_run_id(const struct timespec& utc_time) {
  struct tm fields {};
  ::gmtime_r(&utc_time.tv_sec, &fields);
  char date_time[64];
  const std::size_t length = std::strftime(date_time, sizeof date_time, "%Y-%m-%dT%H-%M-%S", &fields);
  char nanos[16];
  std::snprintf(nanos, sizeof nanos, "-%09ld", static_cast<long>(utc_time.tv_nsec));
  return std::string(date_time, length) + nanos;
}

std::string current_run_id() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return format_run_id(now);
}

}  // namespace toln
