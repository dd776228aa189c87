// Tests of the SQLite hive: exact data, ASCII case rules, Windows result numbers, deleted
// keys, batches, and writers in many threads and processes at once.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

using Kind = RegistryChange::Kind;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/registry_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    hive_ = std::make_unique<Hive>(dir_ + "/registry.db");
  }
  void TearDown() override {
    hive_.reset();
    std::filesystem::remove_all(dir_);
  }

  RegistryKey Create(const std::string& path) {
    RegistryKey key;
    EXPECT_EQ(hive_->CreateKey(path, kKeyAllAccess, &key), kErrorSuccess) << path;
    return key;
  }
  uint32_t Set(const RegistryKey& key, const std::string& name, uint32_t type,
               const std::string& data) {
    return hive_->SetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
  }
  std::vector<std::string> SubkeyNames(const RegistryKey& key) {
    std::vector<std::string> names;
    std::string name;
    while (hive_->EnumKey(key, static_cast<uint32_t>(names.size()), &name) == kErrorSuccess)
      names.push_back(name);
    return names;
  }

  std::string dir_;
  std::unique_ptr<Hive> hive_;
};

TEST_F(RegistryTest, ValuesReadBackExactlyAsStoredAndPersist) {
  RegistryKey key = Create("SOFTWARE\\Types");
  const std::vector<RegistryValue> values = {
      // in name order
      {"", 7, std::string("a\0b\0\0", 5)},
      {"Bytes", kRegBinary, std::string("\x00\xff\x01\x00", 4)},
      {"Empty", kRegNone, ""},
      {"Number", kRegDword, std::string("\x2a\x00\x00\x00", 4)},
      {"Terminated", kRegSz, std::string("text\0", 5)},
      {"Unterminated", kRegSz, "text"}};
  for (const RegistryValue& value : values)
    ASSERT_EQ(Set(key, value.name, value.type, value.data), kErrorSuccess);

  // A second hive on the same file sees what the first one committed.
  Hive other(dir_ + "/registry.db");
  RegistryKey reopened;
  std::vector<RegistryValue> read;
  ASSERT_EQ(other.OpenKey("SOFTWARE\\Types", kKeyRead, &reopened), kErrorSuccess);
  ASSERT_EQ(other.EnumValues(reopened, &read), kErrorSuccess);
  ASSERT_EQ(read.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(read[i].name, values[i].name);
    EXPECT_EQ(read[i].type, values[i].type) << values[i].name;
    EXPECT_EQ(read[i].data, values[i].data) << values[i].name;
  }

  // Overwriting replaces type and data together.
  ASSERT_EQ(Set(key, "Number", kRegSz, std::string("x\0", 2)), kErrorSuccess);
  RegistryValue value;
  ASSERT_EQ(other.QueryValue(reopened, "Number", &value), kErrorSuccess);
  EXPECT_EQ(value.type, kRegSz);
  EXPECT_EQ(value.data, std::string("x\0", 2));
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseButKeepTheirFirstSpelling) {
  RegistryKey foo = Create("SOFTWARE\\Foo");
  RegistryKey key;
  ASSERT_EQ(hive_->OpenKey("software\\FOO", kKeyAllAccess, &key), kErrorSuccess);
  EXPECT_EQ(key.path(), "SOFTWARE\\Foo");
  bool created = true;
  ASSERT_EQ(hive_->CreateKey("software\\foo", kKeyRead, &key, &created), kErrorSuccess);
  EXPECT_FALSE(created);
  ASSERT_EQ(hive_->CreateKey("\\software\\foo\\Bar\\", kKeyRead, &key, &created), kErrorSuccess);
  EXPECT_TRUE(created);
  EXPECT_EQ(key.path(), "SOFTWARE\\Foo\\Bar");
  ASSERT_EQ(hive_->OpenKey(foo, "bAR", kKeyRead, &key), kErrorSuccess);
  EXPECT_EQ(key.path(), "SOFTWARE\\Foo\\Bar");

  ASSERT_EQ(Set(foo, "Name", kRegSz, "one"), kErrorSuccess);
  ASSERT_EQ(Set(foo, "nAME", kRegSz, "two"), kErrorSuccess);
  std::vector<RegistryValue> values;
  ASSERT_EQ(hive_->EnumValues(foo, &values), kErrorSuccess);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "Name");
  EXPECT_EQ(values[0].data, "two");

  // Only ASCII folds: these are two keys.
  Create("\xc3\x84");  // Ä
  Create("\xc3\xa4");  // ä
  RegistryKey root;
  ASSERT_EQ(hive_->OpenKey("", kKeyRead, &root), kErrorSuccess);
  EXPECT_EQ(SubkeyNames(root), (std::vector<std::string>{"SOFTWARE", "\xc3\x84", "\xc3\xa4"}));

  EXPECT_EQ(hive_->CreateKey("A\\\\B", kKeyRead, &key), kErrorInvalidParameter);
  EXPECT_FALSE(key.is_open());
  EXPECT_EQ(hive_->OpenKey(std::string(256, 'x'), kKeyRead, &key), kErrorInvalidParameter);
}

TEST_F(RegistryTest, ResultNumbersFollowWindows) {
  RegistryKey key = Create("K");
  ASSERT_EQ(Set(key, "v", kRegSz, std::string("hello\0", 6)), kErrorSuccess);
  RegistryKey other;
  EXPECT_EQ(hive_->OpenKey("K\\Missing", kKeyRead, &other), kErrorFileNotFound);
  EXPECT_EQ(hive_->DeleteTree("K\\Missing"), kErrorFileNotFound);
  EXPECT_EQ(hive_->DeleteValue(key, "nope"), kErrorFileNotFound);
  uint32_t size = 0, type = 0;
  EXPECT_EQ(hive_->QueryValue(key, "nope", nullptr, nullptr, &size), kErrorFileNotFound);

  // Size probing and a short buffer, as RegQueryValueEx callers do.
  EXPECT_EQ(hive_->QueryValue(key, "v", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 6u);
  char buffer[8] = "XXXXXXX";
  size = 5;
  EXPECT_EQ(hive_->QueryValue(key, "v", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(buffer[0], 'X');
  size = sizeof buffer;
  EXPECT_EQ(hive_->QueryValue(key, "V", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(hive_->QueryValue(key, "v", nullptr, buffer, nullptr), kErrorInvalidParameter);

  // Access rights are checked per call; a closed key is an invalid handle.
  RegistryKey read_only, write_only;
  std::string name;
  ASSERT_EQ(hive_->OpenKey("K", kKeyRead, &read_only), kErrorSuccess);
  ASSERT_EQ(hive_->OpenKey("K", kKeySetValue, &write_only), kErrorSuccess);
  EXPECT_EQ(Set(read_only, "w", kRegSz, "x"), kErrorAccessDenied);
  EXPECT_EQ(hive_->DeleteValue(read_only, "v"), kErrorAccessDenied);
  EXPECT_EQ(hive_->QueryValue(write_only, "v", nullptr, nullptr, &size), kErrorAccessDenied);
  EXPECT_EQ(hive_->EnumKey(write_only, 0, &name), kErrorAccessDenied);
  read_only.Close();
  EXPECT_EQ(hive_->QueryValue(read_only, "v", nullptr, nullptr, &size), kErrorInvalidHandle);

  // Subkeys come in name order without regard to case, then kErrorNoMoreItems.
  for (const char* child : {"K\\b", "K\\A", "K\\C"}) Create(child);
  EXPECT_EQ(SubkeyNames(key), (std::vector<std::string>{"A", "b", "C"}));
  EXPECT_EQ(hive_->EnumKey(key, 3, &name), kErrorNoMoreItems);

  Hive broken(dir_ + "/no/such/folder/registry.db");
  EXPECT_EQ(broken.CreateKey("A", kKeyRead, &other), kErrorRegistryIo);
}

TEST_F(RegistryTest, DeleteTreeTakesTheSubtreeOnly) {
  // % and _ are wildcards of LIKE; here they must match only themselves.
  RegistryKey target = Create("P\\a%");
  ASSERT_EQ(Set(Create("P\\a%\\x\\y"), "deep", kRegSz, "1"), kErrorSuccess);
  for (const char* sibling : {"P\\a_", "P\\ab", "P\\a%b"}) Create(sibling);

  ASSERT_EQ(hive_->DeleteTree("p\\A%"), kErrorSuccess);
  EXPECT_EQ(SubkeyNames(Create("P")), (std::vector<std::string>{"a%b", "a_", "ab"}));
  // A key open while deleted reports "not found"; recreating it brings back nothing.
  EXPECT_EQ(Set(target, "v", kRegSz, "x"), kErrorFileNotFound);
  std::vector<RegistryValue> values;
  EXPECT_EQ(hive_->EnumValues(target, &values), kErrorFileNotFound);
  EXPECT_EQ(hive_->EnumValues(Create("P\\a%\\x\\y"), &values), kErrorSuccess);
  EXPECT_TRUE(values.empty());

  EXPECT_EQ(hive_->DeleteTree(""), kErrorAccessDenied);
}

TEST_F(RegistryTest, ApplyIsAllOrNothing) {
  RegistryKey key = Create("Batch");
  ASSERT_EQ(Set(key, "keep", kRegSz, "old"), kErrorSuccess);
  std::vector<RegistryChange> changes = {
      {Kind::kCreateKey, "Batch\\New", {}},
      {Kind::kSetValue, "Batch", {"keep", kRegSz, "new"}},
      {Kind::kDeleteKey, "Batch\\Absent", {}},  // nothing to delete: no change
      {Kind::kDeleteValue, "Batch", {"absent", kRegNone, ""}},
      {Kind::kSetValue, "Batch\\Made\\On\\Demand", {"v", kRegDword, "abcd"}},
      {Kind::kCreateKey, "Batch\\\\Bad", {}},
  };
  EXPECT_EQ(hive_->Apply(changes), kErrorInvalidParameter);
  RegistryValue value;
  ASSERT_EQ(hive_->QueryValue(key, "keep", &value), kErrorSuccess);
  EXPECT_EQ(value.data, "old");
  EXPECT_TRUE(SubkeyNames(key).empty());

  changes.pop_back();
  ASSERT_EQ(hive_->Apply(changes), kErrorSuccess);
  ASSERT_EQ(hive_->QueryValue(key, "keep", &value), kErrorSuccess);
  EXPECT_EQ(value.data, "new");
  RegistryKey made;
  ASSERT_EQ(hive_->OpenKey("batch\\made\\on\\demand", kKeyRead, &made), kErrorSuccess);
  ASSERT_EQ(hive_->QueryValue(made, "V", &value), kErrorSuccess);
  EXPECT_EQ(value.data, "abcd");
}

// Stores `count` values named "<writer>-<i>" under key "Shared", one transaction each.
bool WriteValues(Hive& hive, int writer, int count) {
  RegistryKey key;
  if (hive.CreateKey("Shared", kKeyAllAccess, &key) != kErrorSuccess) return false;
  for (int i = 0; i < count; ++i) {
    const std::string name = std::to_string(writer) + "-" + std::to_string(i);
    if (hive.SetValue(key, name, kRegSz, name.data(), static_cast<uint32_t>(name.size())) !=
        kErrorSuccess)
      return false;
  }
  return true;
}

// Forks `count` children running `body(i)`, holds them until all exist so that they run
// at once, runs `meanwhile` in this process, and says whether every child succeeded.
bool RunChildren(
    int count, const std::function<bool(int)>& body,
    const std::function<void()>& meanwhile = [] {}) {
  int start[2];
  if (pipe(start) != 0) return false;
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      char byte;
      close(start[1]);
      _exit(read(start[0], &byte, 1) == 0 && body(i) ? 0 : 1);
    }
    if (pid > 0) children.push_back(pid);
  }
  close(start[0]);
  close(start[1]);  // the children's read returns: go
  meanwhile();
  bool ok = static_cast<int>(children.size()) == count;
  for (pid_t pid : children) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok;
}

TEST_F(RegistryTest, ConcurrentWritersInProcessesAndThreadsLoseNothing) {
  constexpr int kProcesses = 4, kThreads = 4, kEach = 40;
  // The parent's connection is open before fork: the children must open their own.
  RegistryKey shared = Create("Shared");
  bool thread_ok[kThreads] = {};
  EXPECT_TRUE(RunChildren(
      kProcesses, [&](int i) { return WriteValues(*hive_, i, kEach); },
      [&] {
        // Threads of this process share its one connection meanwhile.
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
          threads.emplace_back(
              [&, t] { thread_ok[t] = WriteValues(*hive_, kProcesses + t, kEach); });
        for (std::thread& thread : threads) thread.join();
      }));
  for (bool ok : thread_ok) EXPECT_TRUE(ok);
  std::vector<RegistryValue> values;
  ASSERT_EQ(hive_->EnumValues(shared, &values), kErrorSuccess);
  EXPECT_EQ(values.size(), static_cast<size_t>((kProcesses + kThreads) * kEach));

  // Processes that create a new database together all succeed too.
  const std::string fresh = dir_ + "/fresh.db";
  EXPECT_TRUE(RunChildren(6, [&](int i) {
    Hive hive(fresh);
    return WriteValues(hive, i, 5);
  }));
  Hive hive(fresh);
  RegistryKey key;
  ASSERT_EQ(hive.OpenKey("Shared", kKeyRead, &key), kErrorSuccess);
  ASSERT_EQ(hive.EnumValues(key, &values), kErrorSuccess);
  EXPECT_EQ(values.size(), 30u);
}

TEST_F(RegistryTest, LocalMachineLivesUnderTheMachineRoot) {
  const std::string root = dir_ + "/machine/root";
  ASSERT_EQ(setenv("CORVANE_ROOT", root.c_str(), 1), 0);
  Hive& hive = LocalMachine();
  EXPECT_EQ(&hive, &LocalMachine());
  EXPECT_EQ(hive.db_path(), root + "/registry.db");
  RegistryKey key;
  EXPECT_EQ(hive.CreateKey("X", kKeyRead, &key), kErrorSuccess);  // made the folders
  ReleaseLocalMachine();
  unsetenv("CORVANE_ROOT");
}

}  // namespace
}  // namespace platform
