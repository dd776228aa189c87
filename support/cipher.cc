// Enciphering of the module's two enciphered settings, with the platform's MD5 and DES.
//
// The stored bytes must stay readable by the product's other components, which derive the
// key through the Windows base provider: MD5 over the first 36 bytes of the pass phrase's
// UTF-16LE form (half of it: the length in characters was passed as the byte count), the
// first 8 bytes of the digest as the DES key, CBC with a zero initial vector and PKCS#5
// padding. Every call derives the key afresh and wipes it, and the work buffers, on return.
//
// Thread safety: no shared state; the last error is per thread.
#include "support/cipher.h"

#include <algorithm>
#include <array>

#include "platform/crypto.h"
#include "support/trace.h"

namespace support {

namespace {

using platform::SecureZeroMemory;

// Changing it makes every stored cipher text unreadable, here and in the other components.
constexpr char16_t kPassPhrase[] = u"7D3F9A21-4C8E-4B6A-9E51-2F0C8D7B3E64";
constexpr size_t kPassPhraseChars = 36;
static_assert(sizeof kPassPhrase / sizeof kPassPhrase[0] == kPassPhraseChars + 1);

// Room for 512 code units and a terminator (1026 bytes) padded to 1032, with slack.
constexpr size_t kWorkBufferBytes = 1042;

thread_local uint32_t g_last_error = 0;

// The MD5 value the key is derived from, wiped when it goes.
struct PassPhraseHash {
  PassPhraseHash() {
    // The pass phrase is copied so that only this call's stack holds its bytes.
    std::array<uint8_t, kPassPhraseChars * 2> phrase{};
    for (size_t i = 0; i < kPassPhraseChars; ++i) {
      phrase[2 * i] = static_cast<uint8_t>(kPassPhrase[i] & 0xFF);
      phrase[2 * i + 1] = static_cast<uint8_t>(kPassPhrase[i] >> 8);
    }
    platform::Md5(phrase.data(), kPassPhraseChars, value);
    SecureZeroMemory(phrase.data(), phrase.size());
  }
  ~PassPhraseHash() { SecureZeroMemory(value, sizeof value); }
  PassPhraseHash(const PassPhraseHash&) = delete;
  PassPhraseHash& operator=(const PassPhraseHash&) = delete;

  uint8_t value[platform::kMd5HashSize];
};

// The DES key of one operation, wiped when the operation ends. The key is a constant (and
// not a weak one).
platform::DesKey CipherKey() { return platform::DesKey(PassPhraseHash().value); }

bool FailDecrypt() {
  g_last_error = kCipherBadData;
  if (TraceEnabled) {
    TraceOut("", TRACE_ERROR, 0, "Error. CryptDecrypt() returns '%d'.\n",
             static_cast<int>(kCipherBadData));
  }
  return false;
}

}  // namespace

uint32_t CipherLastError() { return g_last_error; }

bool EncryptBuffer(uint8_t* buffer, uint32_t* length) {
  g_last_error = 0;
  // Like the provider's chunked loop, nothing in gives nothing out (not a padding block).
  if (*length == 0) return true;
  // The caller's buffer holds the length rounded up to a block, plus a block.
  g_last_error = CipherKey().Encrypt(buffer, length, *length + platform::kDesBlockSize);
  return g_last_error == 0;
}

bool DecryptBuffer(uint8_t* buffer, uint32_t* length) {
  g_last_error = 0;
  if (*length == 0) return true;
  if (CipherKey().Decrypt(buffer, length) != 0) return FailDecrypt();
  return true;
}

bool EncryptStringW(const char16_t* text, std::string* cipher) {
  cipher->clear();
  std::array<uint8_t, kWorkBufferBytes> work{};
  size_t units = 0;
  if (text != nullptr) {
    for (; units < kCipherMaxChars && text[units] != 0; ++units) {
      work[2 * units] = static_cast<uint8_t>(text[units] & 0xFF);
      work[2 * units + 1] = static_cast<uint8_t>(text[units] >> 8);
    }
  }
  // The terminator is enciphered too: it is already zero in the work buffer.
  uint32_t length = static_cast<uint32_t>(2 * (units + 1));
  const bool ok = EncryptBuffer(work.data(), &length);
  if (ok) cipher->assign(reinterpret_cast<const char*>(work.data()), length);
  SecureZeroMemory(work.data(), work.size());
  return ok;
}

bool DecryptToStringW(const std::string& cipher, std::u16string* text) {
  text->clear();
  if (cipher.size() >= kCipherMaxBytes) {
    g_last_error = kCipherBadLength;
    return false;
  }
  std::array<uint8_t, kWorkBufferBytes> work{};
  std::copy(cipher.begin(), cipher.end(), work.begin());
  uint32_t length = static_cast<uint32_t>(cipher.size());
  const bool ok = DecryptBuffer(work.data(), &length);
  if (ok) {
    // Up to the terminator, and never into the padding when the clear text has none.
    for (uint32_t i = 0; i + 1 < length; i += 2) {
      const char16_t unit = static_cast<char16_t>(work[i] | (work[i + 1] << 8));
      if (unit == 0) break;
      text->push_back(unit);
    }
  }
  SecureZeroMemory(work.data(), work.size());
  return ok;
}

}  // namespace support
