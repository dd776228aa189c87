// Setting items: reading and writing one setting from and to the policy (through the
// agent) or the registry, with the module's trace lines, last-error values and Demo Mode.
//
// Thread safety: items have no lock; the catalogue serialises every use. The module state
// read here (Demo Mode, session cell) is set before requests run or read atomically; the
// last error is an atomic.
#include "settings/item.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/module_state.h"
#include "platform/unicode.h"
#include "policy/agent_messages.h"
#include "policy/policy_access.h"
#include "support/cipher.h"
#include "support/text_conversion.h"
#include "support/trace.h"

using support::CipherLastError;
using support::convertToUnicode;
using support::convertToUTF8;
using support::DecryptToStringW;
using support::EncryptStringW;
using support::kTraceMaskedValue;
using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TRACE_WARNING;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceSecretScope;
using support::TraceText;

namespace settings {

namespace {

// Policy string reads: 65536 characters, one of them kept for the terminator.
constexpr size_t kPolicyBufferChars = 65536;
// Registry string reads accept at most this many bytes.
constexpr uint32_t kRegistryReadBytes = 65535;

bool DemoMode() { return module::State().demo_mode != 0; }

// What a trace line shows for the clear text of an enciphered setting: the line keeps its
// shape, the value stays out of the log.
const char* Traced(const CItem& item, const std::string& value) {
  return item.IsEncrypted() ? kTraceMaskedValue : value.c_str();
}

// The buffer of a policy string read, one per thread and kept, on the heap (request threads
// run on small stacks). Only its ends are cleared: the library writes one terminated run
// from the start, so what lies beyond the first terminator is never looked at, and the last
// character stays the terminator of a value that fills the rest.
char16_t* PolicyStringBuffer() {
  thread_local std::unique_ptr<char16_t[]> buffer(new char16_t[kPolicyBufferChars]);
  buffer[0] = u'\0';
  buffer[kPolicyBufferChars - 1] = u'\0';
  return buffer.get();
}

// Read at every call: the host may replace the handle between requests.
uint32_t Session() { return policy::ReadSessionCell(module::State().session_cell.load()); }

void SetLastError(int32_t value) { module::State().last_error.store(value); }

// The set-operation lines of level 1, composed piece by piece.
void TraceTextLine(const TraceText& text) { TraceOut("", TRACE_INFO, 1, "%s", text.Text()); }

// Lines shared by the integer and string kinds.

void TracePolicyReadFailed(const std::string& oid, int32_t code) {
  if (TraceEnabled) {
    TraceOut("", TRACE_ERROR, 0, "Can not get policy var %s - error %d\n", oid.c_str(), code);
  }
}

// The restriction test before a policy write: false (last error 12) when it is refused.
bool PolicyWriteAllowed(const CItem& item) {
  if (item.GetRestriction(nullptr, nullptr)) return true;
  SetLastError(kLastErrorRefused);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Policy var have final or hidden attribute and cannot be saved.\n");
  }
  return false;
}

// The end of a policy write that reached the agent with result `code`.
bool FinishPolicyWrite(CItem& item, int32_t code) {
  if (code != 0) {
    SetLastError(kLastErrorFailed);
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Can not set policy var %s - error %i\n", item.oid().c_str(),
               code);
    }
    return false;
  }
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Policy var successfully saved.\n");
  item.SetChanged(false);
  return true;
}

void TraceRegistryReadFailed(const std::string& oid, uint32_t error) {
  if (TraceEnabled) {
    TraceOut("", TRACE_WARNING, 0, "Can not get registry var %s - error %i. Use default value.\n",
             oid.c_str(), static_cast<int>(error));
  }
}

// Stores a registry value; the item stays changed when that fails.
bool FinishRegistryWrite(CItem& item, const platform::RegistryKey& key, uint32_t type,
                         const void* data, size_t size) {
  const uint32_t error = key.hive() == nullptr ? platform::kErrorInvalidHandle
                                               : key.hive()->SetValue(key, item.oid(), type, data,
                                                                      static_cast<uint32_t>(size));
  if (error != platform::kErrorSuccess) {
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Can not set registry var %s - error %i\n", item.oid().c_str(),
               static_cast<int>(error));
    }
    return false;
  }
  item.SetChanged(false);
  return true;
}

// A query of the value `name` under `key` into `data` of `*size` bytes; a closed key is
// an invalid handle, as the system would report it.
uint32_t QueryRegistry(const platform::RegistryKey& key, const std::string& name, uint32_t* type,
                       void* data, uint32_t* size) {
  if (key.hive() == nullptr) return platform::kErrorInvalidHandle;
  return key.hive()->QueryValue(key, name, type, data, size);
}

}  // namespace

std::string ToCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string StripCr(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

bool CItem::GetRestriction(bool* hidden, bool* final) const {
  if (DemoMode()) return true;
  const int32_t flags = policy::GetPolicyRestriction(oid_.c_str());
  if (hidden != nullptr) *hidden = (flags & policy::kRestrictHidden) != 0;
  if (final != nullptr) *final = (flags & policy::kRestrictFinal) != 0;
  return (flags & (policy::kRestrictHidden | policy::kRestrictFinal)) == 0;
}

// ---------------------------------------------------------------------------------------
// CIntItem

CIntItem::CIntItem(std::string oid, int32_t default_value)
    : CItem(ItemKind::kInt, std::move(oid), false), value_(default_value), default_value_(default_value) {
  Read();
}

bool CIntItem::Read() {
  if (DemoMode()) return true;
  int32_t number = 0;
  const int32_t code = policy::VmpGetPolicyInt(Session(), oid().c_str(), &number, default_value_);
  if (code != 0) {
    TracePolicyReadFailed(oid(), code);
    return false;
  }
  value_ = number;
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "OID: %s (%u)\n", oid().c_str(), static_cast<uint32_t>(value_));
  }
  SetChanged(false);
  return true;
}

bool CIntItem::Write() {
  if (DemoMode()) return true;
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Set policy var %s to %u\n", oid().c_str(),
             static_cast<uint32_t>(value_));
  }
  if (!PolicyWriteAllowed(*this)) return false;
  return FinishPolicyWrite(*this, policy::VmpSetPolicyInt(Session(), oid().c_str(), value_));
}

void CIntItem::Set(int32_t value) {
  if (TraceEnabled) {
    TraceText text(TRACE_INFO, 1);
    text.Append("CIntItem::Set").Append("(").Append(static_cast<uint32_t>(value));
    TraceTextLine(text.Append(")").Append("\n"));
  }
  if (value == value_) return;
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Old %i\n", value_);
    TraceOut("", TRACE_INFO, 0, "New %i\n", value);
  }
  value_ = value;
  SetChanged(true);
}

// ---------------------------------------------------------------------------------------
// CStringItem

CStringItem::CStringItem(std::string oid, std::string default_value, bool encrypted)
    : CItem(ItemKind::kString, std::move(oid), encrypted), default_value_(ToCrLf(default_value)) {
  Read();
}

bool CStringItem::Read() {
  if (DemoMode()) return true;
  if (TraceEnabled) {
    TraceText text(TRACE_INFO, 1);
    TraceTextLine(text.Append("CStringItem::Read")
                      .Append("(")
                      .Append(oid().c_str())
                      .Append(")")
                      .Append("\n"));
  }

  char16_t* buffer = PolicyStringBuffer();
  const int32_t code = policy::VmpGetPolicyStringW(Session(), oid().c_str(), buffer,
                                                   policy::kStringCapacity, u"");
  if (code != 0) {
    TracePolicyReadFailed(oid(), code);
    return false;
  }
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "buf = '%s', rc = %d\n",
             Traced(*this, platform::Utf16ToUtf8(buffer)), code);
  }
  std::string converted;
  if (!convertToUTF8(buffer, &converted)) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "convertUnicodeToUTF8 failed\n");
    return false;
  }
  // An enciphered value is kept in its stored form: only other components decipher it.
  value_ = ToCrLf(converted);
  // The stored form of an enciphered value is deciphered with a key every copy of the
  // module holds: it stays out of the trace as the clear text does.
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "OID: %s (%s)\n", oid().c_str(), Traced(*this, value_));
  SetChanged(false);
  return true;
}

bool CStringItem::Write() {
  if (DemoMode()) return true;
  const std::string stored = StripCr(value_);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Set policy var %s to %s\n", oid().c_str(), Traced(*this, stored));
  }
  if (!PolicyWriteAllowed(*this)) return false;

  std::u16string wide;
  const TraceSecretScope secret(IsEncrypted());
  if (!convertToUnicode(stored.c_str(), &wide)) {
    SetLastError(kLastErrorFailed);
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "convertUTF8ToUnicode failed.\n");
    return false;
  }
  if (IsEncrypted()) {
    std::string cipher;
    if (!EncryptStringW(wide.c_str(), &cipher)) {
      // The cipher has traced its own line; nothing is sent.
      SetLastError(kLastErrorFailed);
      return false;
    }
    std::u16string hex = u"0x";
    hex.reserve(2 + 2 * cipher.size());
    for (unsigned char byte : cipher) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02X", byte);
      hex += static_cast<char16_t>(digits[0]);
      hex += static_cast<char16_t>(digits[1]);
    }
    wide = std::move(hex);
  }
  return FinishPolicyWrite(*this,
                           policy::VmpSetPolicyStringW(Session(), oid().c_str(), wide.c_str()));
}

void CStringItem::Set(const std::string& value) {
  if (value == value_) return;
  value_ = value;
  SetChanged(true);
}

// ---------------------------------------------------------------------------------------
// CIntRegItem

CIntRegItem::CIntRegItem(const platform::RegistryKey& key, std::string value_name,
                         int32_t default_value)
    : CItem(ItemKind::kIntReg, std::move(value_name), false),
      key_(key),
      value_(default_value),
      default_value_(default_value) {
  Read();
}

bool CIntRegItem::Read() {
  uint32_t type = platform::kRegNone;
  int32_t number = 0;
  uint32_t size = sizeof number;
  uint32_t error = QueryRegistry(key_, oid(), &type, &number, &size);
  if (error == platform::kErrorSuccess && type == platform::kRegDword) {
    value_ = number;
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "registry var %s = %i\n", oid().c_str(), value_);
    SetChanged(false);
    return true;
  }
  // A value of another type that fits the buffer is reported with error 0.
  TraceRegistryReadFailed(oid(), error);
  value_ = default_value_;
  return false;
}

bool CIntRegItem::Write() {
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Set registry var %s to %i\n", oid().c_str(), value_);
  }
  return FinishRegistryWrite(*this, key_, platform::kRegDword, &value_, sizeof value_);
}

void CIntRegItem::Set(int32_t value) {
  if (value == value_) return;
  value_ = value;
  SetChanged(true);
}

// ---------------------------------------------------------------------------------------
// CStringRegItem

CStringRegItem::CStringRegItem(const platform::RegistryKey& key, std::string value_name,
                               std::string default_value, bool encrypted)
    : CItem(ItemKind::kStringReg, std::move(value_name), encrypted),
      key_(key),
      value_(ToCrLf(default_value)),
      default_value_(value_) {
  Read();
}

bool CStringRegItem::Read() {
  if (TraceEnabled) {
    TraceText text(TRACE_INFO, 1);
    TraceTextLine(text.Append("CStringRegItem::Read")
                      .Append("(")
                      .Append(oid().c_str())
                      .Append(")")
                      .Append("\n"));
  }

  const uint32_t expected = IsEncrypted() ? platform::kRegBinary : platform::kRegSz;
  // One byte beyond what is accepted stays zero, so the bytes read end in a terminator.
  std::vector<char> buffer(kRegistryReadBytes + 1, '\0');
  uint32_t type = platform::kRegNone;
  uint32_t size = kRegistryReadBytes;
  const uint32_t error = QueryRegistry(key_, oid(), &type, buffer.data(), &size);
  if (error != platform::kErrorSuccess || type != expected) {
    TraceRegistryReadFailed(oid(), error);
    value_ = default_value_;
    return false;
  }

  if (!IsEncrypted()) {
    // The bytes as stored, up to a terminator if the writer stored one.
    value_ = buffer.data();
    if (TraceEnabled)
      TraceOut("", TRACE_INFO, 0, "RegKey: %s (%s)\n", oid().c_str(), value_.c_str());
  } else {
    std::u16string clear;
    if (!DecryptToStringW(std::string(buffer.data(), size), &clear)) {
      if (TraceEnabled) {
        TraceOut("", TRACE_WARNING, 0,
                 "Can not decrypt gotten value %s - error %i. Use default value.\n", oid().c_str(),
                 static_cast<int>(CipherLastError()));
      }
      value_ = default_value_;
      return false;
    }
    std::string converted;
    const TraceSecretScope secret(true);
    if (!convertToUTF8(clear.c_str(), &converted)) {
      if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Convertation Unicode To UTF8 failed!\n");
      return false;
    }
    // Unlike a plain value, the deciphered text stays out of the trace.
    value_ = std::move(converted);
  }
  SetChanged(false);
  return true;
}

bool CStringRegItem::Write() {
  if (TraceEnabled) {
    TraceText text(TRACE_INFO, 1);
    text.Append("CStringRegItem::Write").Append("(").Append(oid().c_str());
    // An enciphered value stays out of this line.
    if (!IsEncrypted()) text.Append(",").Append(value_.c_str());
    TraceTextLine(text.Append(")").Append("\n"));
    TraceOut("", TRACE_INFO, 0, "Set registry var '%s' to '%s'\n", oid().c_str(),
             Traced(*this, value_));
  }

  if (!IsEncrypted()) {
    return FinishRegistryWrite(*this, key_, platform::kRegSz, value_.data(), value_.size());
  }
  std::u16string wide;
  const TraceSecretScope secret(true);
  if (!convertToUnicode(value_.c_str(), &wide)) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Convertion UTF8 To Unicode failed!\n");
    return false;
  }
  std::string cipher;
  if (!EncryptStringW(wide.c_str(), &cipher)) {
    // Nothing is stored and the value in memory stays: the default would lose the page's
    // input without a word to the page.
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0,
               "Can not encrypt given value %s - error %i. Use default value.\n", oid().c_str(),
               static_cast<int>(CipherLastError()));
    }
    return false;
  }
  return FinishRegistryWrite(*this, key_, platform::kRegBinary, cipher.data(), cipher.size());
}

void CStringRegItem::Set(const std::string& value) {
  if (value == value_) return;
  value_ = value;
  SetChanged(true);
}

}  // namespace settings
