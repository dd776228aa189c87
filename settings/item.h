// Setting items: one setting of the product held in memory, with its OID, current and
// default value, changed flag, and how to read it from and write it to its store (the
// policy through the agent, or the registry).
//
// Strings in memory are UTF-8 with CR LF line breaks; policy strings are stored with bare
// LF. Policy items do nothing in Demo Mode (reads and writes succeed at once). A refused
// policy write sets the module's last error to 12, a failed one to 14.
//
// Thread safety: items have no lock; they are reached only through the catalogue, which
// serialises its users.
#ifndef SETTINGS_ITEM_H_
#define SETTINGS_ITEM_H_

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace settings {

// Last-error values set by failed policy writes.
inline constexpr int32_t kLastErrorRefused = 12;  // final or hidden
inline constexpr int32_t kLastErrorFailed = 14;

// Every LF gets a CR before it (CR LF becomes CR CR LF).
std::string ToCrLf(const std::string& text);
// Every CR removed.
std::string StripCr(const std::string& text);

enum class ItemKind { kBase, kInt, kString, kIntReg, kStringReg, kTable };

class CItem {
 public:
  explicit CItem(std::string oid, bool encrypted = false)
      : CItem(ItemKind::kBase, std::move(oid), encrypted) {}
  virtual ~CItem() = default;
  CItem(const CItem&) = delete;
  CItem& operator=(const CItem&) = delete;

  // Loads the value from the store / stores it. The base versions do nothing.
  virtual bool Read() { return true; }
  virtual bool Write() { return true; }
  // A field, not a virtual call: every typed lookup asks it.
  ItemKind kind() const { return kind_; }

  // Whether the item may be written to the policy (neither hidden nor final); the outputs,
  // when given, receive the two marks. True at once in Demo Mode, outputs untouched.
  bool GetRestriction(bool* hidden, bool* final) const;

  const std::string& oid() const { return oid_; }
  bool IsChanged() const { return changed_; }
  void SetChanged(bool changed) { changed_ = changed; }
  bool IsEncrypted() const { return encrypted_; }

 protected:
  CItem(ItemKind kind, std::string oid, bool encrypted)
      : kind_(kind), oid_(std::move(oid)), encrypted_(encrypted) {}

 private:
  const ItemKind kind_;
  std::string oid_;
  bool changed_ = false;
  bool encrypted_;
};

// An integer in the policy.
class CIntItem : public CItem {
 public:
  CIntItem(std::string oid, int32_t default_value);
  bool Read() override;
  bool Write() override;
  void Set(int32_t value);
  int32_t value() const { return value_; }
  int32_t default_value() const { return default_value_; }

 private:
  int32_t value_;
  int32_t default_value_;
};

// A string in the policy; when encrypted, written enciphered as "0x" + upper-case hex.
class CStringItem : public CItem {
 public:
  CStringItem(std::string oid, std::string default_value, bool encrypted = false);
  bool Read() override;
  bool Write() override;
  void Set(const std::string& value);
  const std::string& value() const { return value_; }
  const std::string& default_value() const { return default_value_; }

 private:
  std::string value_;
  std::string default_value_;
};

// A 32-bit registry value named by the OID under `key` (not owned; closing is only
// forgetting, so the item keeps a copy of the open key).
class CIntRegItem : public CItem {
 public:
  CIntRegItem(const platform::RegistryKey& key, std::string value_name, int32_t default_value);
  bool Read() override;
  bool Write() override;
  void Set(int32_t value);
  int32_t value() const { return value_; }
  int32_t default_value() const { return default_value_; }

 private:
  platform::RegistryKey key_;
  int32_t value_;
  int32_t default_value_;
};

// A string registry value: REG_SZ bytes as they are, or REG_BINARY cipher bytes when
// encrypted.
class CStringRegItem : public CItem {
 public:
  CStringRegItem(const platform::RegistryKey& key, std::string value_name,
                 std::string default_value, bool encrypted);
  bool Read() override;
  bool Write() override;
  void Set(const std::string& value);
  const std::string& value() const { return value_; }
  const std::string& default_value() const { return default_value_; }

 private:
  platform::RegistryKey key_;
  std::string value_;
  std::string default_value_;
};

}  // namespace settings

#endif  // SETTINGS_ITEM_H_
