#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace {

TEST(UnicodeTest, ConvertsBothWaysWithWindowsReplacementRules) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"", ""},
      {u"M\u00fc\u00dfig", "M\xC3\xBC\xC3\x9F" "ig"},                 // 5 code units, 7 bytes
      {u"\u20ac", "\xE2\x82\xAC"},
      {u"a\U0001F600b", "a\xF0\x9F\x98\x80" "b"},                      // a surrogate pair
  };
  for (const auto& [utf16, utf8] : cases) {
    EXPECT_EQ(platform::Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(platform::Utf8ToUtf16(utf8), utf16);
  }
  // Unpaired surrogates become U+FFFD.
  EXPECT_EQ(platform::Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)}),
            "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  // One U+FFFD per maximal ill-formed part.
  const std::pair<std::string, std::u16string> invalid[] = {
      {"\x80", u"\uFFFD"},
      {"a\xC0\xAF" "b", u"a\uFFFD\uFFFDb"},       // overlong: the lead cannot start anything
      {"\xE2\x82", u"\uFFFD"},                    // truncated three-byte sequence
      {"\xE2\x82x", u"\uFFFDx"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},    // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF0\x9F\x98", u"\uFFFD"},
  };
  for (const auto& [utf8, utf16] : invalid) EXPECT_EQ(platform::Utf8ToUtf16(utf8), utf16) << utf8;
}

TEST(UnicodeTest, StrictDecodeTakesOnlyShortestForms) {
  char32_t c = 0;
  size_t length = 0;
  EXPECT_TRUE(platform::DecodeUtf8("\xF0\x9F\x98\x80", &c, &length));
  EXPECT_EQ(c, 0x1F600u);
  EXPECT_EQ(length, 4u);
  for (std::string_view bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    EXPECT_FALSE(platform::DecodeUtf8(bad, &c, &length));
  }
}

}  // namespace
