#include "model/toml_value.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace toln {
namespace {

// The shortest digits that read back as the same number, laid out without an
// exponent; the exact binary value (1e23 is 99999999999999991611392) must
// never show.
TEST(FloatText, ShortestDigitsPositional) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double max = std::numeric_limits<double>::max();
  const struct {
    double value;
    std::string text;
    std::string with_point;
  } cases[] = {
      {0.0, "0", "0.0"},
      {-0.0, "-0", "-0.0"},
      {1.0, "1", "1.0"},
      {1.5, "1.5", "1.5"},
      {-2.25, "-2.25", "-2.25"},
      {0.1, "0.1", "0.1"},
      {0.3, "0.3", "0.3"},
      {100.0, "100", "100.0"},
      {123456789.0, "123456789", "123456789.0"},
      {1e-7, "0.0000001", "0.0000001"},
      {1.25e-5, "0.0000125", "0.0000125"},
      {1e20, "100000000000000000000", "100000000000000000000.0"},
      {1e23, "100000000000000000000000", "100000000000000000000000.0"},
      {6.02e23, "602000000000000000000000", "602000000000000000000000.0"},
      {-6.02e23, "-602000000000000000000000", "-602000000000000000000000.0"},
      {1.5e22, "15000000000000000000000", "15000000000000000000000.0"},
      // Where the positional form is the shorter one, to_chars without a
      // format gives every digit of the binary value (1152921504606846976).
      {0x1p60, "1152921504606847000", "1152921504606847000.0"},
      {0x1p63, "9223372036854776000", "9223372036854776000.0"},
      {12345678901234567e3, "12345678901234567000", "12345678901234567000.0"},
      {1.0000000000000002e20, "100000000000000020000", "100000000000000020000.0"},
      {6.912050778550809e16, "69120507785508090", "69120507785508090.0"},
      {9007199254740993.0, "9007199254740992", "9007199254740992.0"},
      {1e16, "10000000000000000", "10000000000000000.0"},
      {1e21, "1000000000000000000000", "1000000000000000000000.0"},
      {1e22, "10000000000000000000000", "10000000000000000000000.0"},
      {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
      {-1e-5, "-0.00001", "-0.00001"},
      {1e-323, "0." + std::string(322, '0') + "1", "0." + std::string(322, '0') + "1"},
      {123456.789e3, "123456789", "123456789.0"},
      {1e300, "1" + std::string(300, '0'), "1" + std::string(300, '0') + ".0"},
      {5e-324, "0." + std::string(323, '0') + "5", "0." + std::string(323, '0') + "5"},
      {max, "17976931348623157" + std::string(292, '0'), "17976931348623157" + std::string(292, '0') + ".0"},
      {-max, "-17976931348623157" + std::string(292, '0'), "-17976931348623157" + std::string(292, '0') + ".0"},
      {std::numeric_limits<double>::min(), "0." + std::string(307, '0') + "22250738585072014",
       "0." + std::string(307, '0') + "22250738585072014"},
      {nan, "NaN", "NaN"},
      {inf, "inf", "inf"},
      {-inf, "-inf", "-inf"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(float_text(c.value), c.text) << c.text;
    EXPECT_EQ(float_text_with_point(c.value), c.with_point) << c.text;
    if (!std::isfinite(c.value)) continue;
    double read_back = 0;
    std::from_chars(c.text.data(), c.text.data() + c.text.size(), read_back);
    EXPECT_EQ(read_back, c.value) << c.text << " reads back";
  }
}

}  // namespace
}  // namespace toln
