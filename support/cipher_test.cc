// Tests of the setting cipher: the bytes other components must read, padding, cutting of
// long texts, and refusal of what is not a cipher text.
#include "support/cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace support {
namespace {

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  }
  return out;
}

std::string Encrypt(const char16_t* text) {
  std::string cipher;
  EXPECT_TRUE(EncryptStringW(text, &cipher));
  return cipher;
}

// Cipher texts produced by the other components' provider for the same pass phrase.
TEST(CipherTest, MatchesTheBytesOfTheOtherComponents) {
  // The terminator alone, padded to one block.
  EXPECT_EQ(Hex(Encrypt(u"")), "3D729DDAF57165C2");
  // Three units and the terminator fill a block exactly, so a whole padding block follows.
  EXPECT_EQ(Hex(Encrypt(u"abc")), "176BF70895FF2B03635F5821D0559624");
}

TEST(CipherTest, PadsToTheNextWholeBlockRoundTripsTextsAndCutsLongOnes) {
  // Clear texts of every length modulo the block, the terminator included.
  for (const std::u16string text :
       {u"", u"\u00e9", u"\u00e9t", u"x\r\ny", u"gr\u00fc\u00dfe \U0001F600 \u65e5\u672c"}) {
    const std::string padded = Encrypt(text.c_str());
    EXPECT_EQ(padded.size(), 8 * ((2 * text.size() + 2) / 8 + 1));  // the next whole block
    std::u16string back = u"stale";
    ASSERT_TRUE(DecryptToStringW(padded, &back));
    EXPECT_EQ(back, text);
  }
  const std::u16string long_text(600, u'\u00e9');
  const std::string cipher = Encrypt(long_text.c_str());
  EXPECT_EQ(cipher.size(), 1032u);  // 512 units and the terminator, padded
  std::u16string back;
  ASSERT_TRUE(DecryptToStringW(cipher, &back));
  EXPECT_EQ(back, long_text.substr(0, kCipherMaxChars));
}

// The error line of a bad cipher text is checked where the items read one.
TEST(CipherTest, RefusesWhatIsNotACipherText) {
  // The first block of a two-block cipher text deciphers to clear bytes ending in 0: not
  // a padding length.
  uint8_t buffer[16] = {'a', 0, 'b', 0, 'c', 0, 'd', 0};
  uint32_t length = 8;
  ASSERT_TRUE(EncryptBuffer(buffer, &length));
  const std::pair<std::string, uint32_t> cases[] = {
      {std::string(reinterpret_cast<char*>(buffer), 8), kCipherBadData},
      {Encrypt(u"abc").substr(0, 12), kCipherBadData},                // not whole blocks
      {std::string(kCipherMaxBytes, '\0'), kCipherBadLength}};        // too long to be ours
  for (const auto& [cipher, error] : cases) {
    std::u16string text = u"stale";
    EXPECT_FALSE(DecryptToStringW(cipher, &text)) << cipher.size();
    EXPECT_EQ(text, u"");
    EXPECT_EQ(CipherLastError(), error);
  }
  Encrypt(u"ok");
  EXPECT_EQ(CipherLastError(), 0u);
}

}  // namespace
}  // namespace support
