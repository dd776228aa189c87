// The cryptography the system stores data with, as the Windows base provider does it: an
// MD5 hash value, a DES key derived from one, and enciphering in CBC mode with a zero
// initial vector and PKCS#5 padding. Stored bytes made here must equal the provider's.
//
// Key material never outlives its object: a key and a hash's working state are wiped when
// they go.
//
// Thread safety: no shared state; a key may be used by several threads at once.
#ifndef PLATFORM_CRYPTO_H_
#define PLATFORM_CRYPTO_H_

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr size_t kMd5HashSize = 16;
inline constexpr uint32_t kDesBlockSize = 8;

// Provider results.
inline constexpr uint32_t kNteBadLen = 0x80090004;
inline constexpr uint32_t kNteBadData = 0x80090005;

// CryptCreateHash with CALG_MD5, CryptHashData over `size` bytes at `data` and the hash
// value (HP_HASHVAL) into `value`.
void Md5(const void* data, size_t size, uint8_t (&value)[kMd5HashSize]);

// A DES key as CryptDeriveKey with CALG_DES makes it from an MD5 hash: the first 8 bytes of
// the hash value, their parity bits neither checked nor set (DES does not read them), weak
// keys accepted. Used in CBC mode from a zero initial vector for each call.
class DesKey {
 public:
  explicit DesKey(const uint8_t (&md5_value)[kMd5HashSize]);
  ~DesKey();
  DesKey(const DesKey&) = delete;
  DesKey& operator=(const DesKey&) = delete;

  // CryptEncrypt of a final chunk: pads the `*length` bytes at `buffer` with 1 to 8 bytes of
  // their count (a whole block when the length is a multiple of 8) and enciphers them in
  // place; `*length` becomes the padded length. 0; or kErrorMoreData, nothing changed but
  // `*length`, which then says the room needed, when `capacity` bytes cannot hold it.
  uint32_t Encrypt(uint8_t* buffer, uint32_t* length, uint32_t capacity) const;

  // CryptDecrypt of a final chunk: deciphers the `*length` bytes at `buffer` in place and
  // drops the padding; `*length` becomes the clear length. 0; or kNteBadData, `*length`
  // unchanged, when the length is not a whole number of blocks (0 included) or the
  // deciphered bytes do not end in padding.
  uint32_t Decrypt(uint8_t* buffer, uint32_t* length) const;

 private:
  // The implementation's key schedule.
  alignas(8) unsigned char schedule_[128];
};

// SecureZeroMemory: zeroes `size` bytes at `data`; never left out as a store nobody reads.
void SecureZeroMemory(void* data, size_t size);

}  // namespace platform

#endif  // PLATFORM_CRYPTO_H_
