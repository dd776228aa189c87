// Enciphering of the module's two enciphered settings, with nettle's MD5 and DES.
//
// The stored bytes must stay readable by the product's other components, which derive the
// key through the Windows base provider: MD5 over the first 36 bytes of the pass phrase's
// UTF-16LE form (half of it: the length in characters was passed as the byte count), the
// first 8 bytes of the digest as the DES key, CBC with a zero initial vector and PKCS#5
// padding. Every call derives the key afresh and wipes it, and the work buffers, on return.
//
// Thread safety: no shared state; the last error is per thread.
#include "support/cipher.h"

#include <nettle/cbc.h>
#include <nettle/des.h>
#include <nettle/md5.h>
#include <string.h>

#include <algorithm>
#include <array>

#include "support/trace.h"

namespace {

// Changing it makes every stored cipher text unreadable, here and in the other components.
constexpr char16_t kPassPhrase[] = u"7D3F9A21-4C8E-4B6A-9E51-2F0C8D7B3E64";
constexpr size_t kPassPhraseChars = 36;
static_assert(sizeof kPassPhrase / sizeof kPassPhrase[0] == kPassPhraseChars + 1);

// Room for 512 code units and a terminator (1026 bytes) padded to 1032, with slack.
constexpr size_t kWorkBufferBytes = 1042;
constexpr size_t kBlock = DES_BLOCK_SIZE;

thread_local uint32_t g_last_error = 0;

void Wipe(void* data, size_t size) { explicit_bzero(data, size); }

// nettle's block function type takes the context as const void*; these adapt DES to it
// without casting function pointers.
void DesEncryptBlocks(const void* context, size_t length, uint8_t* dst, const uint8_t* src) {
  des_encrypt(static_cast<const des_ctx*>(context), length, dst, src);
}
void DesDecryptBlocks(const void* context, size_t length, uint8_t* dst, const uint8_t* src) {
  des_decrypt(static_cast<const des_ctx*>(context), length, dst, src);
}

// The DES key schedule of one operation, wiped when the operation ends.
class CipherKey {
 public:
  CipherKey() {
    // The pass phrase is copied so that only this call's stack holds its bytes.
    std::array<uint8_t, kPassPhraseChars * 2> phrase{};
    for (size_t i = 0; i < kPassPhraseChars; ++i) {
      phrase[2 * i] = static_cast<uint8_t>(kPassPhrase[i] & 0xFF);
      phrase[2 * i + 1] = static_cast<uint8_t>(kPassPhrase[i] >> 8);
    }
    md5_ctx hash;
    md5_init(&hash);
    md5_update(&hash, kPassPhraseChars, phrase.data());
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&hash, sizeof digest, digest);
    // The provider neither checks nor fixes parity and DES ignores the parity bits, so the
    // digest bytes serve as they are. The weak-key verdict is not consulted: the key is a
    // constant (and not a weak one), and the provider accepts any key.
    des_set_key(&schedule_, digest);
    Wipe(digest, sizeof digest);
    Wipe(&hash, sizeof hash);
    Wipe(phrase.data(), phrase.size());
  }
  ~CipherKey() { Wipe(&schedule_, sizeof schedule_); }
  CipherKey(const CipherKey&) = delete;
  CipherKey& operator=(const CipherKey&) = delete;

  const des_ctx* schedule() const { return &schedule_; }

 private:
  des_ctx schedule_;
};

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
  const uint32_t clear = *length;
  // Like the provider's chunked loop, nothing in gives nothing out (not a padding block).
  if (clear == 0) return true;
  const uint32_t padded = (clear / kBlock + 1) * kBlock;
  const uint8_t pad = static_cast<uint8_t>(padded - clear);
  std::fill(buffer + clear, buffer + padded, pad);
  CipherKey key;
  uint8_t iv[kBlock] = {};
  cbc_encrypt(key.schedule(), DesEncryptBlocks, kBlock, iv, padded, buffer, buffer);
  *length = padded;
  return true;
}

bool DecryptBuffer(uint8_t* buffer, uint32_t* length) {
  g_last_error = 0;
  const uint32_t size = *length;
  if (size == 0) return true;
  if (size % kBlock != 0) return FailDecrypt();
  {
    CipherKey key;
    uint8_t iv[kBlock] = {};
    cbc_decrypt(key.schedule(), DesDecryptBlocks, kBlock, iv, size, buffer, buffer);
  }
  const uint8_t pad = buffer[size - 1];
  if (pad == 0 || pad > kBlock) return FailDecrypt();
  for (uint32_t i = size - pad; i < size; ++i) {
    if (buffer[i] != pad) return FailDecrypt();
  }
  *length = size - pad;
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
  Wipe(work.data(), work.size());
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
  Wipe(work.data(), work.size());
  return ok;
}
