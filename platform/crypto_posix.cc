// The provider's MD5 and DES-CBC with nettle.
//
// Thread safety: no shared state; a key's schedule is only read after construction.
#include "platform/crypto.h"

#include <nettle/cbc.h>
#include <nettle/des.h>
#include <nettle/md5.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "platform/errors.h"

namespace platform {

namespace {

static_assert(kDesBlockSize == DES_BLOCK_SIZE);
static_assert(kMd5HashSize == MD5_DIGEST_SIZE);

// nettle's block function type takes the context as const void*; these adapt DES to it
// without casting function pointers.
void DesEncryptBlocks(const void* context, size_t length, uint8_t* dst, const uint8_t* src) {
  des_encrypt(static_cast<const des_ctx*>(context), length, dst, src);
}
void DesDecryptBlocks(const void* context, size_t length, uint8_t* dst, const uint8_t* src) {
  des_decrypt(static_cast<const des_ctx*>(context), length, dst, src);
}

}  // namespace

void Md5(const void* data, size_t size, uint8_t (&value)[kMd5HashSize]) {
  md5_ctx hash;
  md5_init(&hash);
  md5_update(&hash, size, static_cast<const uint8_t*>(data));
  md5_digest(&hash, kMd5HashSize, value);
  SecureZeroMemory(&hash, sizeof hash);
}

DesKey::DesKey(const uint8_t (&md5_value)[kMd5HashSize]) {
  static_assert(sizeof(des_ctx) <= sizeof schedule_ && alignof(des_ctx) <= 8);
  // des_set_key's verdict is on weak keys only, which the provider accepts too.
  des_set_key(new (schedule_) des_ctx, md5_value);
}

DesKey::~DesKey() { SecureZeroMemory(schedule_, sizeof schedule_); }

uint32_t DesKey::Encrypt(uint8_t* buffer, uint32_t* length, uint32_t capacity) const {
  const uint32_t clear = *length;
  const uint32_t padded = (clear / kDesBlockSize + 1) * kDesBlockSize;
  if (padded > capacity) {
    *length = padded;
    return kErrorMoreData;
  }
  std::fill(buffer + clear, buffer + padded, static_cast<uint8_t>(padded - clear));
  uint8_t iv[kDesBlockSize] = {};
  cbc_encrypt(std::launder(reinterpret_cast<const des_ctx*>(schedule_)), DesEncryptBlocks,
              kDesBlockSize, iv, padded, buffer, buffer);
  *length = padded;
  return 0;
}

uint32_t DesKey::Decrypt(uint8_t* buffer, uint32_t* length) const {
  const uint32_t size = *length;
  if (size == 0 || size % kDesBlockSize != 0) return kNteBadData;
  uint8_t iv[kDesBlockSize] = {};
  cbc_decrypt(std::launder(reinterpret_cast<const des_ctx*>(schedule_)), DesDecryptBlocks,
              kDesBlockSize, iv, size, buffer, buffer);
  const uint8_t pad = buffer[size - 1];
  if (pad == 0 || pad > kDesBlockSize) return kNteBadData;
  for (uint32_t i = size - pad; i < size; ++i) {
    if (buffer[i] != pad) return kNteBadData;
  }
  *length = size - pad;
  return 0;
}

void SecureZeroMemory(void* data, size_t size) { explicit_bzero(data, size); }

}  // namespace platform
