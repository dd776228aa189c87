// The agent's policy: every variable by OID, kept in its database for durability
// (policy_database.h) and in memory so that reads cost no database work.
//
// Thread safety: any number of threads may call any method. Reads share the in-memory map;
// writes are serialised, committed to the database first and only then applied to the map,
// so a write that reports kStatusOk has reached the disk and readers never see a change that
// could still be lost. Every write leaves its audit records (audit_log.h), written under the
// write lock once its transaction has ended, one for each variable it tried to change.
#ifndef STANDINS_CVMAD_POLICY_STORE_H_
#define STANDINS_CVMAD_POLICY_STORE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "standins/cvmad/audit_log.h"
#include "standins/cvmad/policy_database.h"
#include "standins/wire/wire.h"

namespace cvmad {

// The policy never holds more encoded bytes than one export reply carries, so that it can
// always be exported; a change that would make it larger is refused (kStatusStorage).
inline constexpr size_t kMaxPolicyBytes = wire::kMaxFrameBody - 32;

class PolicyStore {
 public:
  struct CellFlags {
    uint32_t row = 0;
    uint32_t column = 0;
    uint32_t flags = 0;
  };

  // Opens (creating when missing) the database at `path` and loads every variable. Null
  // with `error` set when the database cannot be used or holds an unreadable variable.
  // The writes' records go to `audit` (none when null), which must outlive the store.
  static std::unique_ptr<PolicyStore> Open(const std::string& path, AuditLog* audit,
                                           std::string* error);
  ~PolicyStore();
  PolicyStore(const PolicyStore&) = delete;
  PolicyStore& operator=(const PolicyStore&) = delete;

  // The results are agent statuses (wire::kStatus*). The writers name the `actor` whose
  // request they carry out, for the audit records.

  // Appends the encoded variable to `out`.
  uint32_t Get(const std::string& oid, std::string* out) const;
  // Appends the count and every variable, encoded, to `out`.
  uint32_t Export(std::string* out) const;
  // Replaces the values of the variables, keeping their restrictions and cell flags; creates
  // the ones not stored yet, unrestricted. Refuses the whole set when one variable is final
  // or hidden (a table also when table-final) or would change its type or columns.
  uint32_t Set(std::vector<wire::Variable> variables, const Actor& actor);
  // Replaces the variables whole, restrictions included.
  uint32_t Import(std::vector<wire::Variable> variables, const Actor& actor);
  uint32_t Delete(const std::string& oid, const Actor& actor);
  // Sets the variable's restriction and the flags of the cells named (which must exist).
  uint32_t Restrict(const std::string& oid, uint32_t flags, const std::vector<CellFlags>& cells,
                    const Actor& actor);

  // The encoded size of the whole policy.
  size_t bytes() const;

 private:
  // A variable is kept encoded, as it is sent, with what a set must keep of it beside: a
  // decoded table takes ten times its encoded size, and the policy is read far more often
  // than it is changed.
  struct Entry {
    std::string encoded;
    uint8_t type = 0;
    uint32_t restriction = 0;
    std::vector<uint32_t> column_types;
    std::vector<uint32_t> cell_flags;  // row by row
  };
  static Entry MakeEntry(const wire::Variable& variable);

  PolicyStore(std::unique_ptr<PolicyDatabase> db, AuditLog* audit)
      : db_(std::move(db)), audit_(audit) {}
  // Writes the variables and the deletion in one transaction, then into the map, with a
  // record of `action` for each. The caller holds write_mutex_.
  uint32_t Commit(std::vector<wire::Variable> variables, const std::string* deleted,
                  const Actor& actor, std::string_view action);
  // Records of a set or import refused before its transaction: the variable at `culprit`
  // with `reason`, the others as not stored because of it. The caller holds write_mutex_.
  void RecordRefused(const std::vector<wire::Variable>& variables, size_t culprit,
                     std::string_view reason, const Actor& actor, std::string_view action);
  // The stored encoded variable, or null. The caller holds write_mutex_ (the map changes
  // only under it).
  const std::string* StoredLocked(const std::string& oid) const;

  const std::unique_ptr<PolicyDatabase> db_;  // used only under write_mutex_
  AuditLog* const audit_;         // used only under write_mutex_; may be null
  std::mutex write_mutex_;        // one writer at a time; taken before map_mutex_
  mutable std::shared_mutex map_mutex_;
  std::map<std::string, Entry> variables_;  // changed only under both mutexes
  size_t bytes_ = 0;                        // of every entry's encoded form; as variables_
};

}  // namespace cvmad

#endif  // STANDINS_CVMAD_POLICY_STORE_H_
