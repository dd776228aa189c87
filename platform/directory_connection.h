// What the directory port needs of an LDAP client library, and what the library's own file
// takes from the rest of the port. directory_client_common.cc holds the directory itself
// (objects, searches, paths, filters, ranges, the answer and enumeration bounds, the
// read-ahead, DN matching); each client library's file (directory_client_ldap.cc,
// directory_client_wldap.cc) implements the calls below and nothing else. Internal to the
// port: nothing outside those files includes it.
//
// Thread safety: a DirectoryLink is used by one thread at a time (its connection's lock).
#ifndef PLATFORM_DIRECTORY_CONNECTION_H_
#define PLATFORM_DIRECTORY_CONNECTION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/directory_client.h"
#include "platform/errors.h"

namespace platform {
namespace directory {

// Search scopes, with LDAP's numbers.
inline constexpr int kScopeBase = 0;
inline constexpr int kScopeOneLevel = 1;
inline constexpr int kScopeSubtree = 2;

// The results of the server's codes the directory itself looks for.
inline constexpr uint32_t kSizeLimitResult = ResultFromError(8227);     // sizeLimitExceeded
inline constexpr uint32_t kInvalidDnResult = ResultFromError(8242);     // invalidDNSyntax
inline constexpr uint32_t kTimeoutResult = ResultFromError(kErrorTimeout);  // the client's

// Whether a failure with `hr` leaves the connection unusable (the server went away, or an
// answer did not come in time): it is then opened anew for the next operation.
inline bool BreaksConnection(uint32_t hr) {
  return hr == kEDsServerDown || hr == kTimeoutResult;
}

// One entry copied out of the library's messages: its DN and its attributes, names in lower
// case, values as received; `size` is what it counts against the bounds.
struct Entry {
  std::string dn;
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
  uint64_t size = 0;

  const std::vector<std::string>* Find(std::string_view lower_name) const {
    for (const auto& [name, values] : attributes) {
      if (name == lower_name) return &values;
    }
    return nullptr;
  }
};

// What came of waiting for the next message of an answer.
struct Message {
  enum Kind {
    kNone,    // nothing within the wait
    kEntry,   // a search entry, in `entry`
    kOther,   // a reference or any other message: counted, not kept
    kResult,  // the search's end: `result`, and the paged results state when asked
    kFailed,  // the connection failed: `result` says how
  };
  Kind kind = kNone;
  Entry entry;
  uint32_t result = 0;
};

// One connection of the client library to one server.
class DirectoryLink {
 public:
  virtual ~DirectoryLink() = default;  // unbinds

  // Around each run of calls below (taken with the connection's lock).
  virtual void Enter() {}
  virtual void Leave() {}

  // Sends a search for `attributes` (all when null); paged when `cookie` is given, starting
  // from it, `page_size` entries a page. 0 with `*message_id`, or the failure.
  virtual uint32_t Search(const std::string& base, int scope, const std::string& filter,
                          const std::vector<std::string>* attributes, const std::string* cookie,
                          int page_size, int* message_id) = 0;

  // Waits at most `wait_nanoseconds` (0: only looks) for the next message of `message_id`.
  // At the result, `*cookie` (when given) gets the paged results state, empty after the
  // last page.
  virtual void Next(int message_id, int64_t wait_nanoseconds, std::string* cookie,
                    Message* message) = 0;

  // Tells the server that the answer `message_id` is not wanted any more.
  virtual void Abandon(int message_id) = 0;
};

// The library's file gives these.

// A connection to `server_uri` (empty: the library's default server), bound as this process's
// account over a local socket when `secure` and the library can.
uint32_t OpenLink(const std::string& server_uri, bool secure, std::unique_ptr<DirectoryLink>* link);

// An LDAPv3 DN written in canonical form (see CanonicalDn); false when `text` is no DN.
bool ParseDn(const std::string& text, std::string* normal);

// One attribute type definition of the server's schema, as far as the kinds need.
struct AttributeType {
  std::string oid;
  std::vector<std::string> names;
  std::string syntax;  // the OID alone, without a length bound
  std::string sup;
};
bool ParseAttributeType(const std::string& text, AttributeType* type);

// The rest of the port gives these to the library's file.

void CountOperation();  // one request sent to a server (DirectoryOperationCount)
std::string DefaultServer();  // LDAPURI from the environment, or empty
std::string Lower(std::string_view text);
bool StartsWithFolded(std::string_view text, std::string_view prefix);
// Appends one attribute value of a DN, lower case, its special characters as hex pairs.
void AppendCanonicalValue(std::string_view value, std::string* normal);
// Reads the answer waiting on `link` to a paged search of everything and puts whatever came
// through every conversion the port makes (the fuzzing hook's body).
uint32_t ReadWholeAnswer(std::unique_ptr<DirectoryLink> link);

}  // namespace directory
}  // namespace platform

#endif  // PLATFORM_DIRECTORY_CONNECTION_H_
