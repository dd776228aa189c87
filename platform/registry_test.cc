// Tests of the SQLite hive: data, names, results, subtrees, batches and concurrent processes.
#include "platform/registry.h"

#include <gtest/gtest.h>
#ifndef _WIN32  // the SQLite hive's own cases
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/test_root.h"
#ifndef _WIN32
#include "standins/testing/test_agent.h"
#endif

namespace platform {
namespace {

using namespace std::string_literals;
using Kind = RegistryChange::Kind;
using Values = std::vector<std::tuple<std::string, uint32_t, std::string>>;

uint32_t Set(Hive& hive, const RegistryKey& key, const std::string& name, uint32_t type,
             const std::string& data) {
  return hive.SetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
}

Values Read(Hive& hive, const std::string& path) {
  RegistryKey key;
  std::vector<RegistryValue> read;
  EXPECT_EQ(hive.OpenKey(path, kKeyRead, &key), kErrorSuccess) << path;
  EXPECT_EQ(hive.EnumValues(key, &read), kErrorSuccess) << path;
  Values values;
  for (const RegistryValue& v : read) values.emplace_back(v.name, v.type, v.data);
  return values;
}

class RegistryTest : public ::testing::Test {
 protected:
  RegistryKey Create(const std::string& path) {
    RegistryKey key;
    EXPECT_EQ(hive_.CreateKey(path, kKeyAllAccess, &key), kErrorSuccess) << path;
    return key;
  }

  testing::TemporaryFolder dir_;
  Hive hive_{dir_.path() + "/registry.db"};  // closed before dir_ goes
};

TEST_F(RegistryTest, NamesIgnoreCaseButKeepTheirFirstSpelling) {
  RegistryKey foo = Create("SOFTWARE\\Foo"), key;
  EXPECT_EQ(Create("software\\FOO").path(), "SOFTWARE\\Foo");
  Create("software\\foo\\Bar");
  ASSERT_EQ(hive_.OpenKey(foo, "bAR", kKeyRead, &key), kErrorSuccess);
  EXPECT_EQ(key.path(), "SOFTWARE\\Foo\\Bar");
  ASSERT_EQ(Set(hive_, foo, "Name", kRegSz, "one"), kErrorSuccess);
  ASSERT_EQ(Set(hive_, foo, "nAME", kRegDword, "\x2a\0\0\0"s), kErrorSuccess);  // the type too
  Hive other(dir_.path() + "/registry.db");  // and read through another connection
  EXPECT_EQ(Read(other, "software\\foo"), (Values{{"Name", kRegDword, "\x2a\0\0\0"s}}));
}

TEST_F(RegistryTest, ResultNumbersFollowWindows) {
  RegistryKey key = Create("K"), read_only;
  ASSERT_EQ(Set(hive_, key, "v", kRegSz, "hello\0"s), kErrorSuccess);
  char buffer[8] = "XXXXXXX";
  uint32_t size = 0, type = 0;
  EXPECT_EQ(hive_.OpenKey("K\\Missing", kKeyRead, &read_only), kErrorFileNotFound);
  EXPECT_EQ(hive_.DeleteValue(key, "nope"), kErrorFileNotFound);
  EXPECT_EQ(hive_.QueryValue(key, "nope", nullptr, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(hive_.QueryValue(key, "v", &type, nullptr, &size), kErrorSuccess);  // size only
  EXPECT_EQ(std::make_pair(type, size), std::make_pair(kRegSz, 6u));
  size = 5;
  EXPECT_EQ(hive_.QueryValue(key, "v", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(std::make_pair(size, buffer[0]), std::make_pair(6u, 'X'));
  size = sizeof buffer;
  EXPECT_EQ(hive_.QueryValue(key, "V", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(std::string(buffer, size), "hello\0"s);
  ASSERT_EQ(hive_.OpenKey("K", kKeyRead, &read_only), kErrorSuccess);
  EXPECT_EQ(Set(hive_, read_only, "w", kRegSz, "x"), kErrorAccessDenied);
  EXPECT_EQ(hive_.DeleteValue(read_only, "v"), kErrorAccessDenied);
  // The size alone is past the bound: refused before a byte of the buffer is read.
  EXPECT_EQ(hive_.SetValue(key, "big", kRegBinary, buffer, kMaxValueSize + 1),
            kErrorInvalidParameter);
}

TEST_F(RegistryTest, DeleteTreeTakesTheSubtreeOnlyAndEnumKeyListsTheRest) {
  // % and _ are plain characters in names, never patterns.
  for (const char* sibling : {"P\\a_", "P\\AB", "P\\a%b"}) Create(sibling);
  ASSERT_EQ(Set(hive_, Create("P\\a%\\x"), "deep", kRegSz, "1"), kErrorSuccess);
  ASSERT_EQ(hive_.DeleteTree("p\\A%"), kErrorSuccess);
  RegistryKey parent = Create("P");
  std::vector<std::string> names(3);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(hive_.EnumKey(parent, i, &names[i]), kErrorSuccess);
  EXPECT_EQ(names, (std::vector<std::string>{"a%b", "a_", "AB"}));  // name order, case ignored
  EXPECT_EQ(hive_.EnumKey(parent, 3, &names[0]), kErrorNoMoreItems);
  // Made again, a deleted key comes back without the values it had.
  EXPECT_TRUE(Read(hive_, Create("P\\a%\\x").path()).empty());
}

TEST_F(RegistryTest, ApplyIsAllOrNothing) {
  RegistryKey key;
  ASSERT_EQ(Set(hive_, Create("Batch"), "keep", kRegSz, "old"), kErrorSuccess);
  std::vector<RegistryChange> changes = {
      {Kind::kCreateKey, "Batch\\New", {}},
      {Kind::kSetValue, "Batch", {"keep", kRegSz, "new"}},
      {Kind::kDeleteKey, "Batch\\Absent", {}},  // nothing to delete: no change
      {Kind::kDeleteValue, "Batch", {"absent", kRegNone, ""}},
      {Kind::kSetValue, "Batch\\Made\\On\\Demand", {"v", kRegDword, "abcd"}},
      {Kind::kCreateKey, "Batch\\\\Bad", {}}};
  EXPECT_EQ(hive_.Apply(changes), kErrorInvalidParameter);
  EXPECT_EQ(Read(hive_, "Batch"), (Values{{"keep", kRegSz, "old"}}));
  EXPECT_EQ(hive_.OpenKey("Batch\\New", kKeyRead, &key), kErrorFileNotFound);
  changes.pop_back();
  ASSERT_EQ(hive_.Apply(changes), kErrorSuccess);
  EXPECT_EQ(Read(hive_, "Batch"), (Values{{"keep", kRegSz, "new"}}));
  EXPECT_EQ(Read(hive_, "batch\\made\\on\\demand"), (Values{{"v", kRegDword, "abcd"}}));
}

std::string Repeat(const std::string& part, size_t count, const std::string& separator = "") {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i == 0 ? "" : separator) + part;
  return out;
}

TEST_F(RegistryTest, KeyPathsKeepTheWindowsLimits) {
  RegistryKey key, deepest = Create(Repeat("k", kMaxKeyDepth, "\\"));
  EXPECT_EQ(hive_.CreateKey(deepest.path() + "\\k", kKeyRead, &key), kErrorInvalidParameter);
  EXPECT_EQ(hive_.OpenKey(deepest, "k", kKeyRead, &key), kErrorInvalidParameter);
  EXPECT_EQ(hive_.Apply({{Kind::kCreateKey, deepest.path() + "\\k", {}}}),
            kErrorInvalidParameter);
  // Names are counted in UTF-16 code units: U+00E4 takes two bytes and one unit, U+1F600
  // four bytes and two units.
  Create(Repeat("\u00e4", 255));
  Create(Repeat("\U0001F600", 127) + "x");
  for (const std::string& name :
       {Repeat("\u00e4", 256), Repeat("\U0001F600", 128), Repeat("k", 256)})
    EXPECT_EQ(hive_.CreateKey(name, kKeyRead, &key), kErrorInvalidParameter) << name;
}

#ifdef _WIN32
// The registry itself refuses a change in the middle of a batch (a value name longer than
// Windows allows): everything the batch did before it is undone.
TEST_F(RegistryTest, ABatchTheRegistryRefusesHalfWayIsUndone) {
  ASSERT_EQ(Set(hive_, Create("Batch\\Old\\Deep"), "d", kRegSz, "deep"), kErrorSuccess);
  RegistryKey batch = Create("Batch"), key;
  ASSERT_EQ(Set(hive_, batch, "keep", kRegSz, "old"), kErrorSuccess);
  ASSERT_EQ(Set(hive_, batch, "gone", kRegDword, "\1\0\0\0"s), kErrorSuccess);
  const std::vector<RegistryChange> changes = {
      {Kind::kSetValue, "Batch", {"keep", kRegSz, "new"}},
      {Kind::kSetValue, "Batch", {"added", kRegSz, "x"}},
      {Kind::kDeleteValue, "Batch", {"gone", kRegNone, ""}},
      {Kind::kDeleteKey, "Batch\\Old", {}},
      {Kind::kSetValue, "Batch\\New\\Sub", {"v", kRegSz, "x"}},
      {Kind::kSetValue, "Batch", {std::string(16384, 'n'), kRegSz, "x"}}};
  EXPECT_NE(hive_.Apply(changes), kErrorSuccess);
  EXPECT_EQ(Read(hive_, "Batch"),
            (Values{{"gone", kRegDword, "\1\0\0\0"s}, {"keep", kRegSz, "old"}}));
  EXPECT_EQ(Read(hive_, "Batch\\Old\\Deep"), (Values{{"d", kRegSz, "deep"}}));
  EXPECT_EQ(hive_.OpenKey("Batch\\New", kKeyRead, &key), kErrorFileNotFound);
}
#else
// A hive of the first layout, which kept each key's full path as well as its name, is read
// as it was; from then on a key's cost grows with its depth, not with the square of it.
TEST_F(RegistryTest, OlderHiveIsReadAndDeepKeysStaySmall) {
  const std::string path = dir_.path() + "/old.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, R"sql(
      CREATE TABLE keys(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE COLLATE NOCASE,
                        parent INTEGER, name TEXT NOT NULL COLLATE NOCASE);
      CREATE INDEX keys_by_parent ON keys(parent, name);
      CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,
                        type INTEGER NOT NULL, data BLOB NOT NULL,
                        PRIMARY KEY(key, name)) WITHOUT ROWID;
      INSERT INTO keys VALUES(1, '', NULL, ''), (2, 'Software', 1, 'Software'),
                             (3, 'Software\Vendor', 2, 'Vendor'), (7, 'Other', 1, 'Other');
      INSERT INTO vals VALUES(3, 'Name', 1, 'x');)sql",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  {
    Hive old(path);
    RegistryKey key;
    std::string name;
    EXPECT_EQ(Read(old, "SOFTWARE\\vendor"), (Values{{"Name", kRegSz, "x"}}));
    ASSERT_EQ(old.OpenKey("", kKeyRead, &key), kErrorSuccess);
    EXPECT_EQ(old.EnumKey(key, 1, &name), kErrorSuccess);
    EXPECT_EQ(name, "Software");
    const std::string deep =
        "Software\\" + Repeat(std::string(255, 'n'), kMaxKeyDepth - 1, "\\");
    ASSERT_EQ(old.CreateKey(deep, kKeyRead, &key), kErrorSuccess);
    EXPECT_EQ(key.path(), deep);
  }
  // 512 names of 255 characters: 130 kB of names, and some 68 MB when each row held its path.
  EXPECT_LT(std::filesystem::file_size(path), 1u << 20);
}

constexpr int kWriters = 5, kEach = 40;

bool WriteValues(Hive& hive, int writer) {  // kEach values of its own under "Shared"
  RegistryKey key;
  bool ok = hive.CreateKey("Shared", kKeyAllAccess, &key) == kErrorSuccess;
  for (int i = 0; ok && i < kEach; ++i)
    ok = Set(hive, key, std::to_string(writer * kEach + i), kRegSz, "x") == kErrorSuccess;
  return ok;
}

// The hive and SQLite's files beside it are never world-readable, whatever the umask
// allows: 0640, 0660 in a folder its group may write, and a readable hive is narrowed.
TEST(RegistryFilesTest, HiveIsNeverWorldReadable) {
  namespace fs = std::filesystem;
  const mode_t previous = umask(0);
  testing::TemporaryFolder dir;
  for (const auto& [folder, expected] : {std::pair{"/own", 0640u}, std::pair{"/shared", 0660u}}) {
    const std::string path = dir.path() + folder;
    fs::create_directory(path);
    fs::permissions(path, static_cast<fs::perms>(expected == 0660u ? 02770 : 0750));
    Hive hive(path + "/registry.db");
    RegistryKey key;
    ASSERT_EQ(hive.CreateKey("SOFTWARE\\A", kKeyAllAccess, &key), kErrorSuccess);
    for (const char* file : {"/registry.db", "/registry.db-wal", "/registry.db-shm"}) {
      EXPECT_EQ(cvmad::testing::FileMode(path + file), expected) << folder << file;
    }
  }
  fs::permissions(dir.path() + "/own/registry.db", static_cast<fs::perms>(0644));
  Hive again(dir.path() + "/own/registry.db");
  RegistryKey key;
  EXPECT_EQ(again.OpenKey("SOFTWARE\\A", kKeyRead, &key), kErrorSuccess);
  umask(previous);
  EXPECT_EQ(cvmad::testing::FileMode(dir.path() + "/own/registry.db"), 0640u);
}

// In the machine root (3770: only an entry's owner removes it) the write-ahead log and its
// index are made once, by whoever opens the hive first, and stay: the last to close may be a
// member of the group, who could not remove them, and nobody gets a moment to make them first.
TEST(RegistryFilesTest, LogAndIndexStayForEveryAccountOfTheGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another account needs root";
  namespace fs = std::filesystem;
  constexpr uid_t kMember = 65534;
  constexpr gid_t kGroup = 12345;
  testing::TemporaryFolder dir;
  const std::string root = dir.path() + "/root", path = root + "/registry.db";
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  ASSERT_EQ(mkdir(root.c_str(), 0700) | chown(root.c_str(), 0, kGroup) | chmod(root.c_str(), 03770),
            0);
  {
    const mode_t previous = umask(0007);  // as the servers' account runs
    Hive owner(path);
    RegistryKey key;
    ASSERT_EQ(owner.CreateKey("SOFTWARE\\A", kKeyAllAccess, &key), kErrorSuccess);
    umask(previous);
  }
  for (const char* file : {"/registry.db-wal", "/registry.db-shm"})
    EXPECT_TRUE(fs::exists(root + file)) << file << " was removed at the last close";
  EXPECT_EQ(cvmad::testing::RunAs(kMember, kGroup, [&] {
              Hive hive(path);
              RegistryKey key;
              return hive.CreateKey("SOFTWARE\\B", kKeyAllAccess, &key) == kErrorSuccess ? 0 : 1;
            }),
            0);
  struct stat info;
  for (const char* file : {"/registry.db-wal", "/registry.db-shm"}) {
    ASSERT_EQ(stat((root + file).c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_uid, 0u) << file;
  }
  Hive again(path);
  RegistryKey key;
  EXPECT_EQ(again.OpenKey("SOFTWARE\\B", kKeyRead, &key), kErrorSuccess);
}

TEST_F(RegistryTest, ForkedWritersLoseNothing) {
  auto inherited = std::make_unique<Hive>(dir_.path() + "/registry.db");
  ASSERT_TRUE(WriteValues(*inherited, 0));  // its connection is open before fork
  const std::string fresh = dir_.path() + "/fresh.db";  // the children create it together
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  for (int c = 1; c < kWriters; ++c) {
    if (fork() == 0) {
      char byte;
      close(start[1]);
      Hive own(read(start[0], &byte, 1) == 0 ? fresh : "");  // waits for the others
      _exit(WriteValues(own, c) && WriteValues(*inherited, c) ? 0 : 1);
    }
  }
  close(start[0]);
  close(start[1]);    // go
  inherited.reset();  // closing it here must not disturb the children
  int succeeded = 0;
  for (int status; wait(&status) > 0;) succeeded += WIFEXITED(status) && !WEXITSTATUS(status);
  EXPECT_EQ(succeeded, kWriters - 1);
  EXPECT_EQ(Read(hive_, "Shared").size(), size_t{kWriters * kEach});
  Hive made(fresh);
  EXPECT_EQ(Read(made, "Shared").size(), size_t{(kWriters - 1) * kEach});
}

#endif  // _WIN32

}  // namespace
}  // namespace platform
