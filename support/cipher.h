// Enciphering of the two settings stored enciphered (a registry password and one policy
// string): DES in CBC mode with a zero initial vector and PKCS#5 padding, the key being the
// first 8 bytes of the MD5 of the module's pass phrase (of its UTF-16LE form, the first 36
// bytes only). The stored bytes are what the product's other components decipher, so the
// derivation is part of the data format.
//
// Thread safety: no shared state; safe from any thread.
#ifndef SUPPORT_CIPHER_H_
#define SUPPORT_CIPHER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/crypto.h"

namespace support {

// Clear text longer than this many code units is cut before enciphering.
inline constexpr size_t kCipherMaxChars = 512;
// Cipher texts of this many bytes or more are refused.
inline constexpr size_t kCipherMaxBytes = 1041;

// Enciphers `text` (terminated UTF-16; its first 512 code units and a terminator) into
// `cipher`. False on failure, with an error line traced.
bool EncryptStringW(const char16_t* text, std::string* cipher);

// Deciphers `cipher` into `text` (up to its terminator). False, with `text` empty, when the
// bytes are too many or not a valid cipher text (bad padding).
bool DecryptToStringW(const std::string& cipher, std::u16string* text);

// The in-place buffer operations beneath: `length` in, the bytes to process; out, the
// bytes produced. EncryptBuffer needs room for the length rounded up to 8, plus 8.
bool EncryptBuffer(uint8_t* buffer, uint32_t* length);
bool DecryptBuffer(uint8_t* buffer, uint32_t* length);

// The error code of this thread's last failed cipher operation (0 after a success): what
// the items report in their own failure lines.
inline constexpr uint32_t kCipherBadData = platform::kNteBadData;   // not a valid cipher text
inline constexpr uint32_t kCipherBadLength = platform::kNteBadLen;  // too many bytes to decipher
uint32_t CipherLastError();

}  // namespace support

#endif  // SUPPORT_CIPHER_H_
