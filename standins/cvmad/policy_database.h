// Where the agent's policy is kept durably: each variable by OID, encoded as it is sent.
// SQLite on POSIX (policy_database_sqlite.cc); on Windows, where the build has no SQLite, a
// file replaced whole at each change (policy_database_windows.cc). Either way a write that
// reports success has reached the disk, and a write is all or nothing.
//
// Thread safety: none; the policy store calls it under its write lock.
#ifndef STANDINS_CVMAD_POLICY_DATABASE_H_
#define STANDINS_CVMAD_POLICY_DATABASE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "standins/wire/wire.h"

namespace cvmad {

#ifdef _WIN32
// The largest policy file read: the largest policy (under one frame), each variable's OID
// again and 8 bytes of framing, which together are no larger than the variable itself. A
// larger file is not the agent's and is not read.
inline constexpr uint64_t kMaxPolicyFileBytes = 3 * uint64_t{wire::kMaxFrameBody};
#endif

class PolicyDatabase {
 public:
  using Row = std::pair<std::string, std::string>;  // OID, encoded variable

  // Opens (creating when missing) the database at `path`. Null with `error` set when it is
  // not this account's file or cannot be used.
  static std::unique_ptr<PolicyDatabase> Open(const std::string& path, std::string* error);
  virtual ~PolicyDatabase() = default;

  // Every stored row; false with `error` set when they cannot be read.
  virtual bool Load(std::vector<Row>* rows, std::string* error) = 0;
  // Stores `rows` (replacing rows of the same OIDs) and removes `deleted` (when not null) in
  // one transaction; false when nothing of it was stored.
  virtual bool Write(const std::vector<Row>& rows, const std::string* deleted) = 0;
};

}  // namespace cvmad

#endif  // STANDINS_CVMAD_POLICY_DATABASE_H_
