#include "serve/run_id.hpp"

#include <gtest/gtest.h>

#include "serve/serve_support.hpp"

namespace toln {
namespace {

TEST(RunId, UtcDateAndTimeWithNineDigitNanoseconds) {
  struct Case {
    time_t seconds;
    long nanos;
    std::string id;
  } cases[] = {
      {1704164645, 123, "2024-01-02T03-04-05-000000123"},
      {0, 0, "1970-01-01T00-00-00-000000000"},
      {1709251199, 999999999, "2024-02-29T23-59-59-999999999"},
      {253402300799, 500000000, "9999-12-31T23-59-59-500000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_run_id({c.seconds, c.nanos}), c.id);
}

TEST(RunId, TakenFromTheClockIsUtcAndFreeOfColons) {
  struct timespec before {};
  ::clock_gettime(CLOCK_REALTIME, &before);
  const std::string id = current_run_id();
  EXPECT_TRUE(serve_testing::looks_like_run_id(id)) << id;
  // The same second as the clock's (or the next one, at a second's edge).
  const std::string date_time = id.substr(0, 19);
  EXPECT_TRUE(date_time == format_run_id(before).substr(0, 19) ||
              date_time == format_run_id({before.tv_sec + 1, 0}).substr(0, 19))
      << id;
}

}  // namespace
}  // namespace toln
