#include "host/host_programs.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

using host_programs::transfer_bounds::low_speed_time_from;

// The test suite's variable only ever shortens the low-speed bound.
TEST(TransferBounds, LowSpeedTimeIsThirtySecondsOrShorter) {
  const struct {
    const char* given;
    std::string seconds;
  } cases[] = {
      {nullptr, "30"}, {"", "30"},   {"1", "1"},     {"3", "3"},    {"30", "30"},  {"03", "3"},
      {"0", "30"},     {"31", "30"}, {"3000", "30"}, {"-3", "30"},  {"+3", "30"},  {"3s", "30"},
      {" 3", "30"},    {"3 ", "30"}, {"2.5", "30"},  {"abc", "30"}, {"99999999999999999999", "30"},
  };
  for (const auto& c : cases) EXPECT_EQ(low_speed_time_from(c.given), c.seconds) << (c.given ? c.given : "(unset)");
}

}  // namespace
}  // namespace toln
