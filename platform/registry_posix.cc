// The store of the local machine hive (registry.h, registry_store.h) in one SQLite database.
//
// Layout: table `keys` holds one row per key with its parent's id and its own name (as
// first spelled), so a key costs the same however deep it lies; a path is looked up name by
// name from the root. An open key remembers its row, and ids are never used twice, so the
// calls on an open key find it at once while the row lasts. Table `vals` holds the values
// by key id. Names use COLLATE NOCASE, which folds ASCII letters and nothing else, so
// lookups ignore ASCII case while rows keep their first spelling. The root key is row 1,
// named "". The schema version is the database's user_version; a hive of version 0 kept
// each key's full path in `keys` as well (which grew with the square of the depth) and is
// moved to the current layout when opened.
//
// Choices where the Windows calls leave room:
//   - A key deleted while open reports kErrorFileNotFound on every later use, until a key
//     of the same path is made again: the open key then stands for that one.
//   - DeleteTree("") fails with kErrorAccessDenied: the root always exists.
//   - In Apply, deleting a key or value that does not exist is no change (as a .reg import
//     treats it) and kSetValue creates its key when missing.
//
// Thread safety: one connection per store, used only under its mutex_ (held by a batch from
// Begin to its end), so any number of threads may share a Hive. Processes are kept apart
// by SQLite's locks: writes run in BEGIN IMMEDIATE transactions and wait up to
// kBusyTimeoutMs for each other. fork() while
// another thread is inside a Hive call is not supported (the child inherits a held mutex).
#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/registry_store.h"

namespace platform {
namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int64_t kRootId = 1;
constexpr int64_t kSchemaVersion = 1;

// The current layout; `vals` is the same in version 0.
constexpr const char* kSchema = R"sql(
  CREATE TABLE keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER,
    name TEXT NOT NULL COLLATE NOCASE,
    UNIQUE(parent, name));
  CREATE TABLE IF NOT EXISTS vals(
    key INTEGER NOT NULL,
    name TEXT NOT NULL COLLATE NOCASE,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY(key, name)) WITHOUT ROWID;
  INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, '');
  PRAGMA user_version = 1;
)sql";

// Version 0 to 1: the keys keep their ids, parents and names; the paths go.
constexpr const char* kDropPaths = "ALTER TABLE keys RENAME TO keys_with_paths";
constexpr const char* kCopyKeys = R"sql(
  INSERT OR IGNORE INTO keys(id, parent, name) SELECT id, parent, name FROM keys_with_paths;
  DROP TABLE keys_with_paths;
)sql";

// The key ?1 and every key below it go, values first.
constexpr const char* kDeleteTreeValues =
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
    "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
    "DELETE FROM vals WHERE key IN tree";
constexpr const char* kDeleteTreeKeys =
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
    "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
    "DELETE FROM keys WHERE id IN tree";

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using DbPtr = std::unique_ptr<sqlite3, DbClose>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

// A cached statement in use. Reset when it goes out of scope, so no read snapshot outlives
// the call. A statement that failed to prepare is null and every Step fails.
class Query {
 public:
  explicit Query(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Query() {
    if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int64_t number) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, next_++, number);
    return *this;
  }
  // A null pointer would bind SQL NULL, so empty text and blobs point at "".
  Query& Bind(std::string_view text) {
    if (stmt_ != nullptr)
      sqlite3_bind_text(stmt_, next_++, text.empty() ? "" : text.data(),
                        static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Query& BindBlob(const void* data, uint32_t size) {
    if (stmt_ != nullptr)
      sqlite3_bind_blob(stmt_, next_++, size == 0 ? "" : data, static_cast<int>(size),
                        SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) {
    const void* bytes = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return bytes != nullptr ? std::string(static_cast<const char*>(bytes), size) : std::string();
  }

 private:
  sqlite3_stmt* stmt_;
  int next_ = 1;
};


class SqliteStore final : public RegistryStore {
 public:
  explicit SqliteStore(std::string path) : RegistryStore(std::move(path)) {}
  ~SqliteStore() override {
    if (pid_ == getpid())
      Disconnect();
    else
      Abandon();
  }

  // A transaction on this connection, whose mutex is held. Rolled back unless committed.
  class Transaction {
   public:
    Transaction(SqliteStore* impl, bool write)
        : impl_(impl), status_(impl->Exec(write ? "BEGIN IMMEDIATE" : "BEGIN")) {}
    ~Transaction() {
      if (impl_->InTransaction()) impl_->Exec("ROLLBACK");
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    uint32_t status() const { return status_; }
    uint32_t Commit() { return impl_->Exec("COMMIT"); }

   private:
    SqliteStore* impl_;
    uint32_t status_;
  };

  // Locks the connection, makes sure it is usable in this process and runs `body`.
  // Exceptions (allocation failures) end here as kErrorRegistryIo.
  template <typename Body>
  uint32_t Run(Body&& body) {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      uint32_t result = Connect();
      return result != kErrorSuccess ? result : body();
    } catch (...) {
      return kErrorRegistryIo;
    }
  }

  Query Prepare(const char* sql) {
    StmtPtr& cached = statements_[sql];
    if (cached == nullptr) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
      cached.reset(stmt);
    }
    return Query(cached.get());
  }

  uint32_t Exec(const char* sql) {
    Query query = Prepare(sql);
    return query.Step() == SQLITE_DONE ? kErrorSuccess : kErrorRegistryIo;
  }

  // The key at normalised `path`: its id and, when `stored_path` is not null, its path as
  // stored.
  uint32_t FindKey(std::string_view path, int64_t* id, std::string* stored_path) {
    *id = kRootId;
    if (stored_path != nullptr) stored_path->clear();
    return Walk(path, false, id, stored_path, nullptr);
  }

  // Creates the key at normalised `path` and its missing ancestors. Call inside a write
  // transaction.
  uint32_t MakeKeys(std::string_view path, int64_t* id, std::string* stored_path, bool* created) {
    *id = kRootId;
    stored_path->clear();
    *created = false;
    return Walk(path, true, id, stored_path, created);
  }

  // The id of the row of a key opened on row `opened` at `path`. A key deleted and made
  // again since it was opened has a new row (ids are never used twice), which its path finds.
  uint32_t ResolveKey(int64_t opened, std::string_view path, int64_t* id) {
    {
      Query row = Prepare("SELECT 1 FROM keys WHERE id = ?");
      switch (row.Bind(opened).Step()) {
        case SQLITE_ROW:
          *id = opened;
          return kErrorSuccess;
        case SQLITE_DONE:
          break;
        default:
          return kErrorRegistryIo;
      }
    }
    return FindKey(path, id, nullptr);
  }

  // Follows the names of normalised `path` down from key *id, whose stored path
  // *stored_path (when not null) holds; both end at the key reached. Makes the missing keys
  // when `create`, and sets *created when it made any.
  uint32_t Walk(std::string_view path, bool create, int64_t* id, std::string* stored_path,
                bool* created) {
    for (size_t start = 0; start < path.size();) {
      size_t end = std::min(path.find('\\', start), path.size());
      std::string_view name = path.substr(start, end - start);
      start = end + 1;
      Query find = Prepare("SELECT id, name FROM keys WHERE parent = ? AND name = ?");
      find.Bind(*id).Bind(name);
      int step = find.Step();
      if (step == SQLITE_ROW) {
        *id = find.Int(0);
        if (stored_path != nullptr) *stored_path = JoinPath(*stored_path, find.Text(1));
        continue;
      }
      if (step != SQLITE_DONE) return kErrorRegistryIo;
      if (!create) return kErrorFileNotFound;
      *stored_path = JoinPath(*stored_path, name);
      Query insert = Prepare("INSERT INTO keys(parent, name) VALUES(?, ?)");
      insert.Bind(*id).Bind(name);
      if (insert.Step() != SQLITE_DONE) return kErrorRegistryIo;
      *id = sqlite3_last_insert_rowid(db_.get());
      *created = true;
    }
    return kErrorSuccess;
  }

  // Reads value `name` of key row `key_id`: kErrorFileNotFound when there is none.
  uint32_t ReadValue(int64_t key_id, std::string_view name, RegistryValue* value) {
    Query query = Prepare("SELECT name, type, data FROM vals WHERE key = ? AND name = ?");
    query.Bind(key_id).Bind(name);
    switch (query.Step()) {
      case SQLITE_ROW:
        value->name = query.Text(0);
        value->type = static_cast<uint32_t>(query.Int(1));
        value->data = query.Text(2);
        return kErrorSuccess;
      case SQLITE_DONE:
        return kErrorFileNotFound;
      default:
        return kErrorRegistryIo;
    }
  }

  uint32_t StoreValue(int64_t key_id, std::string_view name, uint32_t type, const void* data,
                    uint32_t size) {
    // The upsert keeps the spelling of an existing name.
    Query query = Prepare(
        "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
        "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    query.Bind(key_id).Bind(name).Bind(static_cast<int64_t>(type)).BindBlob(data, size);
    return query.Step() == SQLITE_DONE ? kErrorSuccess : kErrorRegistryIo;
  }

  // Deletes the value; *deleted says whether there was one.
  uint32_t DropValue(int64_t key_id, std::string_view name, bool* deleted) {
    Query query = Prepare("DELETE FROM vals WHERE key = ? AND name = ?");
    query.Bind(key_id).Bind(name);
    if (query.Step() != SQLITE_DONE) return kErrorRegistryIo;
    *deleted = sqlite3_changes(db_.get()) > 0;
    return kErrorSuccess;
  }

  uint32_t DropTree(int64_t key_id) {
    Query values = Prepare(kDeleteTreeValues);
    if (values.Bind(key_id).Step() != SQLITE_DONE) return kErrorRegistryIo;
    Query keys = Prepare(kDeleteTreeKeys);
    return keys.Bind(key_id).Step() == SQLITE_DONE ? kErrorSuccess : kErrorRegistryIo;
  }

  uint32_t Find(std::string_view path, StoredKey* key) override {
    return Run([&] { return FindKey(path, &key->id, &key->path); });
  }

  uint32_t FindBelow(KeyRef parent, std::string_view relative, std::string_view,
                     StoredKey* key) override {
    return Run([&] {
      // The walk starts at the parent.
      uint32_t status = ResolveKey(parent.id, parent.path, &key->id);
      key->path.assign(parent.path);
      if (status == kErrorSuccess) status = Walk(relative, false, &key->id, &key->path, nullptr);
      return status;
    });
  }

  uint32_t Create(std::string_view path, StoredKey* key, bool* created) override {
    return Run([&] {
      *created = false;
      // Most calls find the key; only a missing one takes the write lock.
      uint32_t result = FindKey(path, &key->id, &key->path);
      if (result == kErrorFileNotFound) {
        Transaction transaction(this, true);
        result = transaction.status();
        if (result == kErrorSuccess) result = MakeKeys(path, &key->id, &key->path, created);
        if (result == kErrorSuccess) result = transaction.Commit();
      }
      return result;
    });
  }

  uint32_t RemoveTree(std::string_view path) override {
    return Run([&] {
      Transaction transaction(this, true);
      int64_t id = 0;
      uint32_t result = transaction.status();
      if (result == kErrorSuccess) result = FindKey(path, &id, nullptr);
      if (result == kErrorSuccess) result = DropTree(id);
      return result == kErrorSuccess ? transaction.Commit() : result;
    });
  }

  // Runs `body` on the open key's row in one transaction (a write one when `write`): a key
  // deleted meanwhile is "not found", not "no more items" or an empty key.
  template <typename Body>
  uint32_t OnKey(KeyRef key, bool write, Body&& body) {
    return Run([&] {
      Transaction transaction(this, write);
      int64_t id = 0;
      uint32_t status = transaction.status();
      if (status == kErrorSuccess) status = ResolveKey(key.id, key.path, &id);
      if (status == kErrorSuccess) status = body(id);
      return status == kErrorSuccess && write ? transaction.Commit() : status;
    });
  }

  uint32_t SubKey(KeyRef key, uint32_t index, std::string* name) override {
    return OnKey(key, false, [&](int64_t id) {
      Query query = Prepare("SELECT name FROM keys WHERE parent = ? ORDER BY name LIMIT 1 OFFSET ?");
      query.Bind(id).Bind(static_cast<int64_t>(index));
      switch (query.Step()) {
        case SQLITE_ROW:
          *name = query.Text(0);
          return kErrorSuccess;
        case SQLITE_DONE:
          return kErrorNoMoreItems;
        default:
          return kErrorRegistryIo;
      }
    });
  }

  uint32_t Read(KeyRef key, std::string_view name, RegistryValue* value) override {
    return Run([&] {
      uint32_t status = ReadValue(key.id, name, value);
      if (status != kErrorFileNotFound) return status;
      // No such value, or the key's row is gone: deleted, and perhaps made again.
      int64_t id = 0;
      status = ResolveKey(key.id, key.path, &id);
      if (status != kErrorSuccess) return status;
      return id == key.id ? kErrorFileNotFound : ReadValue(id, name, value);
    });
  }

  uint32_t ReadAll(KeyRef key, std::vector<RegistryValue>* values) override {
    return OnKey(key, false, [&](int64_t id) {
      Query query = Prepare("SELECT name, type, data FROM vals WHERE key = ? ORDER BY name");
      query.Bind(id);
      int step;
      while ((step = query.Step()) == SQLITE_ROW)
        values->push_back({query.Text(0), static_cast<uint32_t>(query.Int(1)), query.Text(2)});
      return step == SQLITE_DONE ? kErrorSuccess : kErrorRegistryIo;
    });
  }

  uint32_t Write(KeyRef key, std::string_view name, uint32_t type, const void* data,
                 uint32_t size) override {
    return OnKey(key, true, [&](int64_t id) { return StoreValue(id, name, type, data, size); });
  }

  uint32_t Erase(KeyRef key, std::string_view name) override {
    return OnKey(key, true, [&](int64_t id) {
      bool deleted = false;
      const uint32_t status = DropValue(id, name, &deleted);
      return status == kErrorSuccess && !deleted ? kErrorFileNotFound : status;
    });
  }

  uint32_t Begin(std::unique_ptr<RegistryBatch>* batch) override;

  bool InTransaction() const { return db_ != nullptr && !sqlite3_get_autocommit(db_.get()); }

  std::mutex mutex_;

 private:
  uint32_t Connect() {
    if (db_ != nullptr && pid_ != getpid()) Abandon();
    if (db_ != nullptr) return kErrorSuccess;

    PrepareFile(path());
    sqlite3* raw = nullptr;
    // The handle is made even when opening fails and must then be closed too.
    int rc =
        sqlite3_open_v2(path().c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);
    pid_ = getpid();
    // The write-ahead log and its index stay when the last connection closes. In the machine
    // root (sticky: only an entry's owner removes it) the last to close may be an account
    // that could not remove them; and files that always exist, made once by the root's
    // owner, leave no moment in which another account could make them first.
    int persist = 1;
    if (rc == SQLITE_OK) sqlite3_file_control(raw, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    if (rc != SQLITE_OK || sqlite3_busy_timeout(raw, kBusyTimeoutMs) != SQLITE_OK ||
        UseWriteAheadLog(raw) != SQLITE_OK ||
        sqlite3_exec(raw, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(raw, "PRAGMA journal_size_limit=1048576", nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        CreateSchema() != kErrorSuccess) {
      Disconnect();
      return kErrorRegistryIo;
    }
    return kErrorSuccess;
  }

  // Makes the hive's file before SQLite does, so that it is never world-readable: 0640, or
  // 0660 when the folder lets its group write (an administrator's choice for a web server
  // account of that group). SQLite gives the write-ahead log and the index the file's mode.
  // A hive of this process's owner that everyone could read is narrowed.
  static void PrepareFile(const std::string& path) {
    const size_t slash = path.rfind('/');
    struct stat folder {};
    const std::string folder_path = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const mode_t mode =
        stat(folder_path.c_str(), &folder) == 0 && (folder.st_mode & S_IWGRP) != 0 ? 0660 : 0640;
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return;  // SQLite reports what is wrong
    struct stat file {};
    if (fstat(fd, &file) == 0 && file.st_uid == geteuid() && (file.st_mode & 07) != 0) {
      fchmod(fd, file.st_mode & 0770);
    }
    close(fd);
  }

  // Switching a new database to WAL needs it to itself and fails at once instead of
  // waiting when another process holds it, so processes that create the hive together
  // retry here.
  static int UseWriteAheadLog(sqlite3* db) {
    constexpr int kRetryMs = 5;
    for (int waited = 0;; waited += kRetryMs) {
      int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if (rc != SQLITE_BUSY || waited >= kBusyTimeoutMs) return rc;
      sqlite3_sleep(kRetryMs);
    }
  }

  // The schema version, -1 when it cannot be read.
  int64_t SchemaVersion() {
    Query version = Prepare("PRAGMA user_version");
    return version.Step() == SQLITE_ROW ? version.Int(0) : -1;
  }

  // Makes the tables of a new hive, or moves an older hive to the current layout. Processes
  // opening the hive together do this one at a time, each looking again once it may write.
  // A hive of a later version is not used.
  uint32_t CreateSchema() {
    if (SchemaVersion() == kSchemaVersion) return kErrorSuccess;
    sqlite3* db = db_.get();
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
      return kErrorRegistryIo;
    const int64_t version = SchemaVersion();
    bool ok = version == kSchemaVersion;
    if (version == 0) {
      int step;
      {
        // Reset before the schema changes, which a pending read of it would block.
        Query old = Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'keys'");
        step = old.Step();
      }
      const bool has_paths = step == SQLITE_ROW;
      ok = (step == SQLITE_ROW || step == SQLITE_DONE) &&
           (!has_paths || sqlite3_exec(db, kDropPaths, nullptr, nullptr, nullptr) == SQLITE_OK) &&
           sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
           (!has_paths || sqlite3_exec(db, kCopyKeys, nullptr, nullptr, nullptr) == SQLITE_OK);
    }
    if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      if (InTransaction()) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return kErrorRegistryIo;
    }
    return kErrorSuccess;
  }

  void Disconnect() {
    statements_.clear();
    db_.reset();
  }

  // The connection was opened by the parent of this forked process. SQLite forbids using
  // it here, closing included, so it and its statements are dropped without release: a
  // deliberate leak, once per fork, of memory the child never touches.
  void Abandon() {
    for (auto& entry : statements_) static_cast<void>(entry.second.release());
    statements_.clear();
    static_cast<void>(db_.release());
  }

  DbPtr db_;
  pid_t pid_ = 0;
  // Keyed by the address of the SQL text: every statement is a literal of this file.
  std::unordered_map<const char*, StmtPtr> statements_;
};

// An Apply's changes: one write transaction, under the store's lock until it ends.
class SqliteBatch final : public RegistryBatch {
 public:
  SqliteBatch(SqliteStore* store, std::unique_lock<std::mutex> lock)
      : store_(store), lock_(std::move(lock)), transaction_(store, true) {}

  uint32_t status() const { return transaction_.status(); }

  uint32_t CreateKey(const std::string& path) override {
    StoredKey key;
    bool created = false;
    return store_->MakeKeys(path, &key.id, &key.path, &created);
  }

  uint32_t SetValue(const std::string& path, const RegistryValue& value) override {
    StoredKey key;
    bool created = false;
    uint32_t result = store_->MakeKeys(path, &key.id, &key.path, &created);
    if (result == kErrorSuccess)
      result = store_->StoreValue(key.id, value.name, value.type, value.data.data(),
                                  static_cast<uint32_t>(value.data.size()));
    return result;
  }

  uint32_t DeleteKey(const std::string& path) override {
    int64_t id = 0;
    uint32_t result = store_->FindKey(path, &id, nullptr);
    if (result == kErrorSuccess) return store_->DropTree(id);
    return result == kErrorFileNotFound ? kErrorSuccess : result;
  }

  uint32_t DeleteValue(const std::string& path, std::string_view name) override {
    int64_t id = 0;
    bool deleted = false;
    uint32_t result = store_->FindKey(path, &id, nullptr);
    if (result == kErrorSuccess) return store_->DropValue(id, name, &deleted);
    return result == kErrorFileNotFound ? kErrorSuccess : result;
  }

  uint32_t Commit() override { return transaction_.Commit(); }

 private:
  SqliteStore* const store_;
  std::unique_lock<std::mutex> lock_;
  SqliteStore::Transaction transaction_;  // rolled back, under the lock, unless committed
};

uint32_t SqliteStore::Begin(std::unique_ptr<RegistryBatch>* batch) {
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    uint32_t result = Connect();
    if (result != kErrorSuccess) return result;
    auto begun = std::make_unique<SqliteBatch>(this, std::move(lock));
    result = begun->status();
    if (result == kErrorSuccess) *batch = std::move(begun);
    return result;
  } catch (...) {
    return kErrorRegistryIo;
  }
}

}  // namespace

std::unique_ptr<RegistryStore> OpenRegistryStore(std::string db_path) {
  return std::make_unique<SqliteStore>(std::move(db_path));
}

bool HiveNeedsMachineRoot(const std::string&) { return true; }

}  // namespace platform
