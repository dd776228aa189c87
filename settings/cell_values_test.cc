// Integer cells given as text or as floats.
#include "settings/cell_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using settings::DecimalCell;
using settings::FloatCell;

TEST(DecimalCellTest, ReadsLeadingNumber) {
  EXPECT_EQ(DecimalCell("42"), 42);
  EXPECT_EQ(DecimalCell(" \t\n-17xyz"), -17);
  EXPECT_EQ(DecimalCell("+8 9"), 8);
  EXPECT_EQ(DecimalCell("007"), 7);
}

TEST(DecimalCellTest, NoDigitsGiveZero) {
  EXPECT_EQ(DecimalCell(""), 0);
  EXPECT_EQ(DecimalCell("x"), 0);
  EXPECT_EQ(DecimalCell("-"), 0);
  EXPECT_EQ(DecimalCell("  +x1"), 0);
  EXPECT_EQ(DecimalCell("1.9"), 1);
}

TEST(DecimalCellTest, ClampsToThe32BitRange) {
  EXPECT_EQ(DecimalCell("2147483647"), 2147483647);
  EXPECT_EQ(DecimalCell("2147483648"), 2147483647);
  EXPECT_EQ(DecimalCell("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(DecimalCell("-2147483649"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(DecimalCell("4294967295"), 2147483647);
  EXPECT_EQ(DecimalCell(std::string(400, '9')), 2147483647);
  EXPECT_EQ(DecimalCell("-" + std::string(400, '9')), std::numeric_limits<int32_t>::min());
}

TEST(FloatCellTest, TruncatesTowardZero) {
  EXPECT_EQ(FloatCell(3.9), 3);
  EXPECT_EQ(FloatCell(-3.9), -3);
  EXPECT_EQ(FloatCell(-0.5), 0);
}

TEST(FloatCellTest, KeepsTheLow32Bits) {
  EXPECT_EQ(FloatCell(4294967295.0), -1);
  EXPECT_EQ(FloatCell(4294967296.0 + 5), 5);
  EXPECT_EQ(FloatCell(2147483648.0), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(FloatCell(-4294967297.0), -1);
  EXPECT_EQ(FloatCell(1e300), FloatCell(std::fmod(1e300, 4294967296.0)));
}

TEST(FloatCellTest, NonFiniteGivesZero) {
  EXPECT_EQ(FloatCell(std::nan("")), 0);
  EXPECT_EQ(FloatCell(HUGE_VAL), 0);
  EXPECT_EQ(FloatCell(-HUGE_VAL), 0);
}

}  // namespace
