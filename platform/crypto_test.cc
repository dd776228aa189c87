// The provider's DES against the classic worked example, with the provider's padding, its
// refusals and its leniency about key parity and weak keys. (MD5 and the system's own key
// derivation are checked on the stored bytes of the setting cipher: support/cipher_test.cc.)
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"

namespace platform {
namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
  }
  return out;
}

// An MD5 value whose first 8 bytes are `key`: the DES key derived from it.
DesKey KeyOf(const uint8_t (&key)[8]) {
  uint8_t value[kMd5HashSize] = {};
  std::memcpy(value, key, sizeof key);
  return DesKey(value);
}

TEST(CryptoTest, DesCbcPadsWithAWholeBlockAndIgnoresKeyParity) {
  const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  const uint8_t other_parity[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  const uint8_t clear[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  uint8_t buffer[16] = {}, again[16] = {};
  std::memcpy(buffer, clear, 8);
  std::memcpy(again, clear, 8);
  uint32_t length = 8, again_length = 8;
  ASSERT_EQ(KeyOf(key).Encrypt(buffer, &length, sizeof buffer), 0u);
  ASSERT_EQ(KeyOf(other_parity).Encrypt(again, &again_length, sizeof again), 0u);
  EXPECT_EQ(length, 16u);  // a whole block of padding after a whole block
  EXPECT_EQ(Hex(buffer, 8), "85e813540f0ab405");  // the first block from a zero vector
  EXPECT_EQ(Hex(again, 16), Hex(buffer, 16));
  ASSERT_EQ(KeyOf(key).Decrypt(buffer, &length), 0u);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(Hex(buffer, 8), Hex(clear, 8));

  // A weak key serves as any other.
  const uint8_t weak[8] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
  uint8_t text[16] = {'w', 'e', 'a', 'k'};
  length = 4;
  ASSERT_EQ(KeyOf(weak).Encrypt(text, &length, sizeof text), 0u);
  EXPECT_EQ(length, 8u);
  ASSERT_EQ(KeyOf(weak).Decrypt(text, &length), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text), length), "weak");
}

TEST(CryptoTest, RefusesTooLittleRoomAndWhatIsNotACipherText) {
  const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const DesKey des = KeyOf(key);
  uint8_t buffer[24] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
  uint32_t length = 9;
  EXPECT_EQ(des.Encrypt(buffer, &length, 15), kErrorMoreData);
  EXPECT_EQ(length, 16u);  // the room needed
  EXPECT_EQ(buffer[9], 0);  // nothing written
  length = 9;
  ASSERT_EQ(des.Encrypt(buffer, &length, 16), 0u);

  for (uint32_t size : {0u, 7u, 15u}) {
    uint32_t cut = size;
    EXPECT_EQ(des.Decrypt(buffer, &cut), kNteBadData) << size;
    EXPECT_EQ(cut, size);
  }
  // The first block alone deciphers to "abcdefgh": its last byte is no padding length.
  uint32_t first = 8;
  EXPECT_EQ(des.Decrypt(buffer, &first), kNteBadData);
  EXPECT_EQ(first, 8u);
}

}  // namespace
}  // namespace platform
