// The provider's MD5 and DES-CBC with the base provider itself (CryptoAPI).
//
// A provider key carries the state of its chain: a final CryptEncrypt or CryptDecrypt resets
// it, but two threads working through one key at once would mix their chains. So the key
// made at construction is only a template: every call works on a duplicate of its own.
//
// Thread safety: the provider context is acquired once per process (a function-local static)
// and kept until the process ends; a key's template is only read after construction.
#include "platform/crypto.h"

#include <cstdlib>
#include <new>

#include "platform/errors.h"
#include "platform/win32_windows.h"

#include <wincrypt.h>  // after <windows.h>, which it needs

namespace platform {

namespace {

static_assert(sizeof(HCRYPTKEY) <= 128);

// The process's verify-only context: no key container, nothing stored. Without it no
// stored setting could be read or written, and the calls below have no way to say so, so
// a process that cannot get one stops.
HCRYPTPROV Provider() {
  static const HCRYPTPROV provider = [] {
    HCRYPTPROV made = 0;
    if (!CryptAcquireContextW(&made, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
      std::abort();
    return made;
  }();
  return provider;
}

// A hash object owned until the end of the scope.
class Hash {
 public:
  Hash() {
    if (!CryptCreateHash(Provider(), CALG_MD5, 0, 0, &hash_)) std::abort();
  }
  ~Hash() { CryptDestroyHash(hash_); }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  HCRYPTHASH get() const { return hash_; }

 private:
  HCRYPTHASH hash_ = 0;
};

// A duplicate of a key template, with the chain starting from the zero vector.
class WorkingKey {
 public:
  explicit WorkingKey(HCRYPTKEY key) {
    if (!CryptDuplicateKey(key, nullptr, 0, &key_)) std::abort();
  }
  ~WorkingKey() { CryptDestroyKey(key_); }
  WorkingKey(const WorkingKey&) = delete;
  WorkingKey& operator=(const WorkingKey&) = delete;
  HCRYPTKEY get() const { return key_; }

 private:
  HCRYPTKEY key_ = 0;
};

HCRYPTKEY TemplateOf(const unsigned char* schedule) {
  return *std::launder(reinterpret_cast<const HCRYPTKEY*>(schedule));
}

}  // namespace

void Md5(const void* data, size_t size, uint8_t (&value)[kMd5HashSize]) {
  Hash hash;
  DWORD length = kMd5HashSize;
  if (!CryptHashData(hash.get(), static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) ||
      !CryptGetHashParam(hash.get(), HP_HASHVAL, value, &length, 0) || length != kMd5HashSize)
    std::abort();
}

DesKey::DesKey(const uint8_t (&md5_value)[kMd5HashSize]) {
  // The hash object takes the value as it is, so the key is the provider's derivation of
  // exactly this MD5 value, parity and weak keys as the provider treats them.
  Hash hash;
  HCRYPTKEY key = 0;
  if (!CryptSetHashParam(hash.get(), HP_HASHVAL, md5_value, 0) ||
      !CryptDeriveKey(Provider(), CALG_DES, hash.get(), 0, &key))
    std::abort();
  new (schedule_) HCRYPTKEY(key);
}

DesKey::~DesKey() {
  CryptDestroyKey(TemplateOf(schedule_));
  SecureZeroMemory(schedule_, sizeof schedule_);
}

uint32_t DesKey::Encrypt(uint8_t* buffer, uint32_t* length, uint32_t capacity) const {
  // Measured here rather than by the provider, which may already have padded the buffer
  // when it finds the room short.
  const uint32_t padded = (*length / kDesBlockSize + 1) * kDesBlockSize;
  if (padded > capacity) {
    *length = padded;
    return kErrorMoreData;
  }
  WorkingKey key(TemplateOf(schedule_));
  DWORD size = *length;
  if (!CryptEncrypt(key.get(), 0, TRUE, 0, buffer, &size, capacity)) std::abort();
  *length = size;
  return 0;
}

uint32_t DesKey::Decrypt(uint8_t* buffer, uint32_t* length) const {
  if (*length == 0 || *length % kDesBlockSize != 0) return kNteBadData;
  WorkingKey key(TemplateOf(schedule_));
  DWORD size = *length;
  if (!CryptDecrypt(key.get(), 0, TRUE, 0, buffer, &size)) return kNteBadData;
  *length = size;
  return 0;
}

void SecureZeroMemory(void* data, size_t size) { ::RtlSecureZeroMemory(data, size); }

}  // namespace platform
