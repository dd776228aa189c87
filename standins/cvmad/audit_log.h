// The agent's audit trail: one line for each variable that a client set, imported, deleted
// or restricted, naming who (the account of the socket's peer), when, the value before and
// after, and the result. Appended to logs/agent-audit.jsonl under the machine root, which
// the agent makes (0640: its group, the administrators, reads it; nobody else writes it).
//
// The format is the console's audit (examples/include/console.php, record_save): one JSON
// object a line, every field escaped so that no value can break a line, fields
//   time     UTC, "2026-12-06T19:30:05Z"
//   source   "agent" (the console writes "console")
//   account  the peer's account name ("uid N" when it has none)
//   address  "local, pid N"
//   action   "set", "import", "delete" or "restrict"
//   oid      the variable's OID
//   old/new  the value as the console shows it (integers in decimal, strings as they are,
//            tables one line a row of comma-separated cells, binary values in hex; for a
//            restriction its words), null for none; longer than kAuditMaxValueBytes: cut
//            and ended with kAuditCutMark; an enciphered setting's: kAuditMaskedValue
//   result   "stored", or why not
//
// Thread safety: Append may be called from any thread (lines are written whole under a
// lock); the store calls it under its write lock, so the lines follow the commits' order.
#ifndef STANDINS_CVMAD_AUDIT_LOG_H_
#define STANDINS_CVMAD_AUDIT_LOG_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "standins/wire/unique_fd.h"

namespace cvmad {

inline constexpr const char* kAgentAuditFile = "logs/agent-audit.jsonl";
// The most of one value a record keeps (of its UTF-8 text, before JSON escaping).
inline constexpr size_t kAuditMaxValueBytes = 1024;
inline constexpr std::string_view kAuditCutMark = "… [cut]";
inline constexpr std::string_view kAuditMaskedValue = "(enciphered, not recorded)";

// Who changed something: the peer of a connection.
struct Actor {
  std::string account;
  uint32_t pid = 0;
};

// One record. The values are encoded variables (wire::EncodeVariable), null for none.
struct AuditRecord {
  std::string_view action;
  std::string_view oid;
  const std::string* old_value = nullptr;
  const std::string* new_value = nullptr;
  std::string_view result;
  bool restriction = false;  // old_value and new_value stand for their restrictions
};

class AuditLog {
 public:
  // Opens `path` for appending, making it (0640) when missing. Null with `error` set when it
  // cannot, or when it is not a plain file of this account's that only it may write: a file
  // another account made in the log folder first could be edited by that account.
  static std::unique_ptr<AuditLog> Open(const std::string& path, std::string* error);

  // Adds the record's line to what Flush writes, flushing first when much is waiting.
  void Add(const Actor& actor, const AuditRecord& record);
  // Writes what Add collected, in whole lines. False (with a line on standard error) when
  // the file did not take it all.
  bool Flush();

 private:
  explicit AuditLog(wire::UniqueFd fd) : fd_(std::move(fd)) {}

  wire::UniqueFd fd_;
  std::mutex mutex_;
  std::string pending_;  // guarded by mutex_
};

// What a record shows of the encoded variable `encoded`: see the format above. `masked`
// shows a value (not its absence) as kAuditMaskedValue.
std::string AuditValueText(std::string_view encoded, bool masked);
// The words of a restriction: "none", or "hidden", "final", "table final" and any other
// bits in hex, comma-separated.
std::string RestrictionText(uint32_t flags);
// The record's line, newline included, for the time `now`.
std::string AuditLine(std::time_t now, const Actor& actor, const AuditRecord& record);

}  // namespace cvmad

#endif  // STANDINS_CVMAD_AUDIT_LOG_H_
