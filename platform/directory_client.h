// The directory: an ADSI-shaped port over an LDAP server, reached with OpenLDAP's client
// library.
//
// Paths are ADSI's serverless ones: "LDAP://rootDSE" and "LDAP://<DN>", read from the one
// configured server (the URI of LDAPURI, else of libldap's ldap.conf). A path that names a
// server ("LDAP://<host>[:port]/<DN>") is refused: the DNs a caller puts into paths come
// from the server itself, and what the server sends never chooses where the process
// connects. A '/' inside a DN is written "\/" (PathOfDn). Objects share one connection as
// long as any of them is held, so an enumeration that keeps its first object (the root DSE)
// open sends all its operations over one connection. A connection that broke is dropped and
// the next open makes a new one.
//
// Bounds: every answer is read as it arrives, and one answer (an object, a page) is held
// whole only up to kDirectoryMaxAnswerEntries and kDirectoryMaxAnswerBytes; an answer that
// would pass them, or does not come within kDirectoryOperationSeconds, is abandoned with its
// connection. While a DirectoryEnumeration is open on a thread, its operations also share
// one budget: pages, entries, bytes received and time, and a stop check asked before every
// operation, between pages and while an answer is awaited. A bound reached ends the call
// with the size limit (0x80072023) or time limit (0x80072022) result, a stop with
// 0x8007045B, and every later operation of that enumeration fails the same way. A search
// started with no enumeration open counts against a budget of its own.
//
// Binding: with kAdsSecureAuthentication over an ldapi:// URI the process binds with SASL
// EXTERNAL (the server sees this process's account); otherwise the operations are anonymous.
// Windows has no ldapi://: there a path to such a server answers kEDsServerDown.
// A user name or password is not supported (E_INVALIDARG).
//
// Values: IADs::Get gives a string, an integer (INTEGER syntax) or 16 raw bytes and other
// octet strings (octet string syntax, as the server's schema says), or an array of those
// when the attribute has several values. Ranged names ("member;range=0-499") are emulated
// here: the plain attribute is read and sliced (a range after the first of the same
// attribute is cut from what the first read), and Get of the plain name then answers the
// slice, always as an array; a range that starts past the last value leaves the name
// unset. Filters written with doubled outer parentheses ("((a=b))") are accepted.
//
// Results are COM-style: ADSI's own codes below, and LDAP results as Windows errors in
// result form (no such object 0x80072030, server down 0x8007203A, bad filter 0x8007203E...).
//
// Thread safety: any thread may open objects; one object is used by one thread at a time.
#ifndef PLATFORM_DIRECTORY_CLIENT_H_
#define PLATFORM_DIRECTORY_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"

namespace platform {

// The server that serverless paths go to: LDAPURI, else libldap's URI (ldap.conf's, or its
// built-in default, ldap://localhost:389); empty with LDAPNOINIT and no LDAPURI. On Windows:
// LDAPURI, else empty (the domain's own directory, which wldap32 finds).
std::string ConfiguredDirectoryServer();

inline constexpr uint32_t kAdsSecureAuthentication = 0x1;
inline constexpr uint32_t kAdsReadonlyServer = 0x4;

inline constexpr uint32_t kSAdsNoMoreRows = 0x00005012;
inline constexpr uint32_t kEAdsBadPathname = 0x80005000;
inline constexpr uint32_t kEAdsPropertyNotFound = 0x8000500D;
inline constexpr uint32_t kEAdsColumnNotSet = 0x80005010;
inline constexpr uint32_t kEAdsInvalidFilter = 0x80005014;
inline constexpr uint32_t kEDsNoSuchObject = 0x80072030;
inline constexpr uint32_t kEDsServerDown = 0x8007203A;

// Search preferences (ADS_SEARCHPREF_INFO) and value types (ADSTYPE).
inline constexpr uint32_t kAdsSearchPrefSearchScope = 5;
inline constexpr uint32_t kAdsScopeBase = 0;
inline constexpr uint32_t kAdsScopeOneLevel = 1;
inline constexpr uint32_t kAdsScopeSubtree = 2;
inline constexpr uint32_t kAdsTypeDnString = 1;
inline constexpr uint32_t kAdsTypeCaseIgnoreString = 3;
inline constexpr uint32_t kAdsTypeInteger = 7;
inline constexpr uint32_t kAdsTypeOctetString = 8;

// The bounds on what the directory may make this process hold or wait for.
inline constexpr int kDirectoryPageSize = 500;                 // entries asked for a page
inline constexpr int kDirectoryConnectSeconds = 5;             // to connect
inline constexpr int kDirectoryOperationSeconds = 5;           // for one whole answer
inline constexpr uint32_t kDirectoryMaxAnswerEntries = 1000;   // entries of one answer held
inline constexpr uint32_t kDirectoryMaxAnswerBytes = 16u << 20;  // and their bytes; also the
                                                               // largest message libldap takes
inline constexpr int kDirectoryEnumerationSeconds = 15;        // one enumeration, all of it
inline constexpr uint32_t kDirectoryMaxPages = 1000;           // pages of one enumeration
inline constexpr uint32_t kDirectoryMaxEntries = 200000;       // entries of one enumeration
inline constexpr uint64_t kDirectoryMaxBytes = 256u << 20;     // bytes of one enumeration
inline constexpr uint32_t kDirectoryMaxReadAheadEntries = 20000;  // entries one read-ahead
inline constexpr uint64_t kDirectoryMaxReadAheadBytes = 32u << 20;  // keeps, and their bytes

inline constexpr uint32_t kEDsTimeLimitExceeded = 0x80072022;
inline constexpr uint32_t kEDsSizeLimitExceeded = 0x80072023;
inline constexpr uint32_t kEDsAborted = 0x8007045B;  // the system error 1115: stopped

struct AdsSearchPreference {
  uint32_t preference = 0;
  uint32_t type = 0;     // kAdsTypeInteger
  int64_t integer = 0;
  uint32_t status = 0;   // set by SetSearchPreference: 0 accepted, 1 refused
};

// One value of a search column; `type` says which member holds it.
struct AdsValue {
  uint32_t type = 0;
  std::u16string text;          // kAdsTypeDnString, kAdsTypeCaseIgnoreString
  int64_t integer = 0;          // kAdsTypeInteger
  std::vector<uint8_t> bytes;   // kAdsTypeOctetString
};

struct AdsSearchColumn {
  std::u16string name;
  uint32_t type = 0;
  std::vector<AdsValue> values;
};

using AdsSearchHandle = struct AdsSearch*;

class IADs {
 public:
  virtual ~IADs() = default;
  // The attribute from the property cache, filled at open; kEAdsPropertyNotFound when the
  // object has no such attribute.
  virtual uint32_t Get(std::u16string_view name, Variant* value) = 0;
  // Reads the attributes named by `names` (a string or an array of strings) again.
  virtual uint32_t GetInfoEx(const Variant& names, int32_t reserved) = 0;
};

class IDirectorySearch {
 public:
  virtual ~IDirectorySearch() = default;
  virtual uint32_t SetSearchPreference(AdsSearchPreference* preferences, uint32_t count) = 0;
  // Starts a search below this object for `filter`, answering the `count` attributes.
  virtual uint32_t ExecuteSearch(const char16_t* filter, const char16_t* const* attributes,
                                 uint32_t count, AdsSearchHandle* handle) = 0;
  // 0 when a row is current, kSAdsNoMoreRows at the end, or a failure.
  virtual uint32_t GetNextRow(AdsSearchHandle handle) = 0;
  // kEAdsColumnNotSet when the current row lacks the attribute.
  virtual uint32_t GetColumn(AdsSearchHandle handle, const char16_t* name,
                             AdsSearchColumn* column) = 0;
  virtual uint32_t FreeColumn(AdsSearchColumn* column) = 0;
  virtual uint32_t CloseSearchHandle(AdsSearchHandle handle) = 0;
};

uint32_t ADsOpenObject(const char16_t* path, const char16_t* user, const char16_t* password,
                       uint32_t flags, std::unique_ptr<IADs>* object);
uint32_t ADsOpenObject(const char16_t* path, const char16_t* user, const char16_t* password,
                       uint32_t flags, std::unique_ptr<IDirectorySearch>* object);

// A one-dimensional array of the `count` strings.
uint32_t ADsBuildVarArrayStr(const char16_t* const* strings, uint32_t count, Variant* array);

// One enumeration's budget on this thread (see Bounds above), from construction to
// destruction. `stop` (with `context`) is asked whether the caller wants the enumeration to
// end. An enumeration opened while another is open on the thread joins it: the outer one's
// budget and stop check count.
class DirectoryEnumeration {
 public:
  using StopCheck = bool (*)(void* context);
  explicit DirectoryEnumeration(StopCheck stop = nullptr, void* context = nullptr);
  ~DirectoryEnumeration();
  DirectoryEnumeration(const DirectoryEnumeration&) = delete;
  DirectoryEnumeration& operator=(const DirectoryEnumeration&) = delete;

  struct Budget;

 private:
  std::shared_ptr<Budget> budget_;  // set when this is the outermost one of its thread
};

// Reads ahead, for the enumeration open on this thread, the entries below `base` (a DN,
// subtree) that `filter` matches, with the `count` attributes named, in one paged search.
// The first page (of kDirectoryMaxAnswerEntries) is asked for at once and each next one
// when the one before is read, which is when an open looks for a DN not come yet. Until
// the next read-ahead or the end of the enumeration, an IADs open (with the same `flags`)
// of one of their DNs takes its entry instead of reading it, once: it counts against the
// enumeration as that read would, and a Get of a name not read ahead reads the object
// whole then. A DN that did not come once every page has is read singly, as are the
// entries past kDirectoryMaxReadAheadEntries or kDirectoryMaxReadAheadBytes held and not
// yet taken (the read-ahead stops there). Its pages count
// only against the read-ahead's own bounds, so a directory answering with more than is
// opened costs the enumeration nothing; a stop or the enumeration's time end it as any
// search. A paged search of this thread still under way on the connection is read to its
// end first (the server keeps the state of one); when that would hold more rows than a
// read-ahead, or a search of another thread holds it, nothing is read ahead. What came
// before a failure is kept. kEInvalidArg with no enumeration open.
uint32_t DirectoryReadAhead(uint32_t flags, std::u16string_view base, std::u16string_view filter,
                            const char16_t* const* attributes, uint32_t count);

// "LDAP://" and `dn` with its '/' escaped: the path of an object named by a DN, whatever
// the DN holds.
std::u16string PathOfDn(std::u16string_view dn);

// For the fuzz target: `bytes` taken as a server's whole answer to one paged search, read
// through the port's own reading of answers and values; the search's result.
uint32_t ReadAnswerForTesting(const uint8_t* bytes, size_t size);

// The canonical text of a DN, for comparing DNs as the server does: attribute types and
// values without regard to ASCII case, escaping and blanks around separators; the text
// itself when it is no DN.
std::u16string NormalizeDn(std::u16string_view dn);

// The LDAP operations (binds, searches) this process has sent, for benchmarks.
uint64_t DirectoryOperationCount();

}  // namespace platform

#endif  // PLATFORM_DIRECTORY_CLIENT_H_
