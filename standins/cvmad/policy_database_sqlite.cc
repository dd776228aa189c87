// The policy in SQLite (table `variables`: OID and encoded variable). The database runs in
// WAL mode with synchronous=FULL, so a committed transaction survives the process being
// killed and the machine losing power.
//
// Thread safety: see policy_database.h.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "standins/cvmad/policy_database.h"

namespace cvmad {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS variables (oid TEXT PRIMARY KEY, data BLOB NOT NULL) "
    "WITHOUT ROWID";
constexpr int kBusyTimeoutMs = 5000;

struct StmtFinalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

StmtPtr Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  return StmtPtr(stmt);
}

// Runs a statement that takes the OID and optionally a blob, to completion.
bool Run(sqlite3* db, const char* sql, const std::string& oid, const std::string* blob) {
  StmtPtr stmt = Prepare(db, sql);
  return stmt != nullptr &&
         sqlite3_bind_text(stmt.get(), 1, oid.data(), static_cast<int>(oid.size()),
                           SQLITE_STATIC) == SQLITE_OK &&
         (blob == nullptr ||
          sqlite3_bind_blob(stmt.get(), 2, blob->empty() ? "" : blob->data(),
                            static_cast<int>(blob->size()), SQLITE_STATIC) == SQLITE_OK) &&
         sqlite3_step(stmt.get()) == SQLITE_DONE;
}

class SqliteDatabase : public PolicyDatabase {
 public:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}
  ~SqliteDatabase() override { sqlite3_close_v2(db_); }

  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  bool Load(std::vector<Row>* rows, std::string* error) override {
    StmtPtr select = Prepare(db_, "SELECT oid, data FROM variables");
    int rc = SQLITE_ERROR;
    while (select != nullptr && (rc = sqlite3_step(select.get())) == SQLITE_ROW) {
      auto text = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
      auto blob = static_cast<const char*>(sqlite3_column_blob(select.get(), 1));
      rows->emplace_back(std::string(text != nullptr ? text : "",
                                     sqlite3_column_bytes(select.get(), 0)),
                         std::string(blob != nullptr ? blob : "",
                                     sqlite3_column_bytes(select.get(), 1)));
    }
    if (select == nullptr || rc != SQLITE_DONE) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
    return true;
  }

  bool Write(const std::vector<Row>& rows, const std::string* deleted) override {
    if (!Exec("BEGIN IMMEDIATE")) return false;
    bool ok = true;
    for (const auto& [oid, data] : rows)
      ok = ok && Run(db_, "INSERT OR REPLACE INTO variables (oid, data) VALUES (?1, ?2)", oid,
                     &data);
    if (deleted != nullptr)
      ok = ok && Run(db_, "DELETE FROM variables WHERE oid = ?1", *deleted, nullptr);
    if (!ok || !Exec("COMMIT")) {
      if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
      return false;
    }
    return true;
  }

 private:
  sqlite3* const db_;
};

}  // namespace

std::unique_ptr<PolicyDatabase> PolicyDatabase::Open(const std::string& path, std::string* error) {
  // The machine root lets its group add names: a policy someone else made, or a link, is not
  // the agent's policy.
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && (!S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
    *error = path + ": not a file of this account's";
    return nullptr;
  }
  sqlite3* raw = nullptr;
  // The handle is made even when opening fails and must then be closed too.
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
  auto database = std::make_unique<SqliteDatabase>(raw);
  if (rc != SQLITE_OK || sqlite3_busy_timeout(raw, kBusyTimeoutMs) != SQLITE_OK ||
      !database->Exec("PRAGMA journal_mode=WAL") || !database->Exec("PRAGMA synchronous=FULL") ||
      !database->Exec(kSchema)) {
    *error = path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "cannot open");
    return nullptr;
  }
  return database;
}

}  // namespace cvmad
