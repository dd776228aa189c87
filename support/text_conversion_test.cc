#include "support/text_conversion.h"

#include <gtest/gtest.h>

using support::convertToUnicode;
using support::convertToUTF8;

namespace {

TEST(TextConversionTest, TerminatedEntryPointsTakeNullAsEmpty) {
  std::string utf8 = "stale";
  std::u16string utf16 = u"stale";
  EXPECT_TRUE(convertToUTF8(nullptr, &utf8));
  EXPECT_TRUE(convertToUnicode(nullptr, &utf16));
  EXPECT_EQ(utf8, "");
  EXPECT_EQ(utf16, u"");
  EXPECT_TRUE(convertToUTF8(u"x\u00fcy", &utf8));
  EXPECT_EQ(utf8, "x\xC3\xBCy");
  EXPECT_TRUE(convertToUnicode("x\xC3\xBCy", &utf16));
  EXPECT_EQ(utf16, u"x\u00fcy");
}

}  // namespace
