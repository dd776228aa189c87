// Integer cells given as text or as floats.
#include "settings/cell_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr int32_t kMax = 2147483647, kMin = -kMax - 1;

TEST(CellValuesTest, DecimalTextReadsTheLeadingNumberClampedTo32Bits) {
  const std::pair<std::string, int32_t> cases[] = {
      {"42", 42}, {" \t\n-17xyz", -17}, {"+8 9", 8}, {"007", 7}, {"1.9", 1},
      // No digits: zero.
      {"", 0}, {"x", 0}, {"-", 0}, {"  +x1", 0},
      {"2147483647", kMax}, {"2147483648", kMax}, {"4294967295", kMax},
      {"-2147483648", kMin}, {"-2147483649", kMin},
      {std::string(400, '9'), kMax}, {"-" + std::string(400, '9'), kMin}};
  for (const auto& [text, value] : cases) EXPECT_EQ(settings::DecimalCell(text), value) << text;
}

TEST(CellValuesTest, FloatsTruncateTowardZeroAndKeepTheLow32Bits) {
  const std::pair<double, int32_t> cases[] = {
      {3.9, 3}, {-3.9, -3}, {-0.5, 0},
      {4294967295.0, -1}, {4294967296.0 + 5, 5}, {2147483648.0, kMin}, {-4294967297.0, -1},
      // Not finite: zero.
      {std::nan(""), 0}, {HUGE_VAL, 0}, {-HUGE_VAL, 0}};
  for (const auto& [number, value] : cases) EXPECT_EQ(settings::FloatCell(number), value) << number;
  EXPECT_EQ(settings::FloatCell(1e300), settings::FloatCell(std::fmod(1e300, 4294967296.0)));
}

}  // namespace
