// Tests of the SQLite hive: exact data, ASCII case rules, Windows result numbers, deleted
// keys, batches, and writers in many threads and processes at once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

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

  RegistryKey Create(const std::string& path, uint32_t access = kKeyAllAccess) {
    RegistryKey key;
    EXPECT_EQ(hive_->CreateKey(path, access, &key), kErrorSuccess) << path;
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
  const std::string binary("\x00\xff\x01\x00", 4);
  ASSERT_EQ(Set(key, "Terminated", kRegSz, std::string("text\0", 5)), kErrorSuccess);
  ASSERT_EQ(Set(key, "Unterminated", kRegSz, "text"), kErrorSuccess);
  ASSERT_EQ(Set(key, "Number", kRegDword, std::string("\x2a\x00\x00\x00", 4)), kErrorSuccess);
  ASSERT_EQ(Set(key, "Bytes", kRegBinary, binary), kErrorSuccess);
  ASSERT_EQ(Set(key, "Empty", kRegBinary, ""), kErrorSuccess);
  ASSERT_EQ(Set(key, "", 7, std::string("a\0b\0\0", 5)), kErrorSuccess);
  ASSERT_EQ(hive_->SetValue(key, "Null", kRegNone, nullptr, 0), kErrorSuccess);

  // A second hive on the same file sees what the first one committed.
  Hive other(dir_ + "/registry.db");
  RegistryKey reopened;
  ASSERT_EQ(other.OpenKey("SOFTWARE\\Types", kKeyRead, &reopened), kErrorSuccess);
  std::vector<RegistryValue> values;
  ASSERT_EQ(other.EnumValues(reopened, &values), kErrorSuccess);
  ASSERT_EQ(values.size(), 7u);
  const std::vector<std::tuple<std::string, uint32_t, std::string>> expected = {
      {"", 7, std::string("a\0b\0\0", 5)},
      {"Bytes", kRegBinary, binary},
      {"Empty", kRegBinary, ""},
      {"Null", kRegNone, ""},
      {"Number", kRegDword, std::string("\x2a\x00\x00\x00", 4)},
      {"Terminated", kRegSz, std::string("text\0", 5)},
      {"Unterminated", kRegSz, "text"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(values[i].name, std::get<0>(expected[i]));
    EXPECT_EQ(values[i].type, std::get<1>(expected[i])) << values[i].name;
    EXPECT_EQ(values[i].data, std::get<2>(expected[i])) << values[i].name;
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
  ASSERT_EQ(hive_->CreateKey("software\\foo\\Bar", kKeyRead, &key, &created), kErrorSuccess);
  EXPECT_TRUE(created);
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
  EXPECT_EQ(root.path(), "");
  EXPECT_EQ(SubkeyNames(root), (std::vector<std::string>{"SOFTWARE", "\xc3\x84", "\xc3\xa4"}));
}

TEST_F(RegistryTest, PathsAreNormalisedOrRefused) {
  RegistryKey key = Create("\\A\\B\\");
  EXPECT_EQ(key.path(), "A\\B");
  RegistryKey child;
  ASSERT_EQ(hive_->OpenKey(Create("A"), "b", kKeyRead, &child), kErrorSuccess);
  EXPECT_EQ(child.path(), "A\\B");

  EXPECT_EQ(hive_->CreateKey("A\\\\B", kKeyRead, &key), kErrorInvalidParameter);
  EXPECT_FALSE(key.is_open());
  EXPECT_EQ(hive_->OpenKey(std::string(256, 'x'), kKeyRead, &key), kErrorInvalidParameter);
  EXPECT_EQ(hive_->OpenKey(std::string("A\0B", 3), kKeyRead, &key), kErrorInvalidParameter);
}

TEST_F(RegistryTest, ResultNumbersFollowWindows) {
  RegistryKey key = Create("K");
  ASSERT_EQ(Set(key, "v", kRegSz, std::string("hello\0", 6)), kErrorSuccess);
  RegistryKey missing;
  EXPECT_EQ(hive_->OpenKey("K\\Missing", kKeyRead, &missing), kErrorFileNotFound);
  EXPECT_EQ(hive_->DeleteTree("K\\Missing"), kErrorFileNotFound);
  EXPECT_EQ(hive_->DeleteValue(key, "nope"), kErrorFileNotFound);
  uint32_t size = 0;
  EXPECT_EQ(hive_->QueryValue(key, "nope", nullptr, nullptr, &size), kErrorFileNotFound);

  // Size probing and a short buffer, as RegQueryValueEx callers do.
  uint32_t type = 0;
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

  // Access rights are checked per call.
  RegistryKey read_only, write_only;
  ASSERT_EQ(hive_->OpenKey("K", kKeyRead, &read_only), kErrorSuccess);
  ASSERT_EQ(hive_->OpenKey("K", kKeySetValue, &write_only), kErrorSuccess);
  EXPECT_EQ(Set(read_only, "w", kRegSz, "x"), kErrorAccessDenied);
  EXPECT_EQ(hive_->DeleteValue(read_only, "v"), kErrorAccessDenied);
  EXPECT_EQ(hive_->QueryValue(write_only, "v", nullptr, nullptr, &size), kErrorAccessDenied);
  std::string name;
  EXPECT_EQ(hive_->EnumKey(write_only, 0, &name), kErrorAccessDenied);

  // A closed key is an invalid handle.
  read_only.Close();
  EXPECT_EQ(hive_->QueryValue(read_only, "v", nullptr, nullptr, &size), kErrorInvalidHandle);
  EXPECT_EQ(hive_->EnumKey(RegistryKey(), 0, &name), kErrorInvalidHandle);

  // Subkeys come in name order without regard to case, then kErrorNoMoreItems.
  Create("K\\b");
  Create("K\\A");
  Create("K\\C");
  EXPECT_EQ(SubkeyNames(key), (std::vector<std::string>{"A", "b", "C"}));
  EXPECT_EQ(hive_->EnumKey(key, 3, &name), kErrorNoMoreItems);
}

TEST_F(RegistryTest, DeleteTreeTakesTheSubtreeOnly) {
  // % and _ are wildcards of LIKE; they must match only themselves.
  RegistryKey target = Create("P\\a%");
  ASSERT_EQ(Set(Create("P\\a%\\x\\y"), "deep", kRegSz, "1"), kErrorSuccess);
  Create("P\\a_");
  Create("P\\ab");
  Create("P\\a%b");

  ASSERT_EQ(hive_->DeleteTree("p\\A%"), kErrorSuccess);
  EXPECT_EQ(SubkeyNames(Create("P")), (std::vector<std::string>{"a%b", "a_", "ab"}));
  // A key open while deleted reports "not found"; recreating it brings back nothing.
  EXPECT_EQ(Set(target, "v", kRegSz, "x"), kErrorFileNotFound);
  std::string name;
  EXPECT_EQ(hive_->EnumKey(target, 0, &name), kErrorFileNotFound);
  std::vector<RegistryValue> values;
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
  EXPECT_EQ(SubkeyNames(key), (std::vector<std::string>{"Made", "New"}));
  RegistryKey made;
  ASSERT_EQ(hive_->OpenKey("batch\\made\\on\\demand", kKeyRead, &made), kErrorSuccess);
  ASSERT_EQ(hive_->QueryValue(made, "V", &value), kErrorSuccess);
  EXPECT_EQ(value.data, "abcd");
}

TEST_F(RegistryTest, UnusableDatabaseReportsRegistryIo) {
  Hive broken(dir_ + "/no/such/folder/registry.db");
  RegistryKey key;
  EXPECT_EQ(broken.OpenKey("", kKeyRead, &key), kErrorRegistryIo);
  EXPECT_EQ(broken.CreateKey("A", kKeyRead, &key), kErrorRegistryIo);
  EXPECT_FALSE(key.is_open());
}

// Each writer stores `count` values named "<writer>-<i>" under key "Shared", one
// transaction each, after waiting for `start` to close so that all writers run together.
void WriteValues(Hive& hive, int writer, int count, int start, bool* ok) {
  char byte;
  *ok = read(start, &byte, 1) == 0;
  RegistryKey key;
  *ok = *ok && hive.CreateKey("Shared", kKeyAllAccess, &key) == kErrorSuccess;
  for (int i = 0; *ok && i < count; ++i) {
    const std::string name = std::to_string(writer) + "-" + std::to_string(i);
    *ok = hive.SetValue(key, name, kRegSz, name.data(), static_cast<uint32_t>(name.size())) ==
          kErrorSuccess;
  }
}

TEST_F(RegistryTest, ConcurrentWritersInProcessesAndThreadsLoseNothing) {
  constexpr int kProcesses = 4, kThreads = 4, kValuesEach = 40;
  // The parent's connection is open before fork: children must open their own.
  RegistryKey shared = Create("Shared");
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      bool ok = false;
      WriteValues(*hive_, p, kValuesEach, start[0], &ok);
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(start[0]);
  // Threads of this process write through the one shared connection meanwhile.
  std::vector<std::thread> threads;
  bool ok[kThreads] = {};
  int thread_start[2];
  ASSERT_EQ(pipe(thread_start), 0);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(WriteValues, std::ref(*hive_), kProcesses + t, kValuesEach,
                         thread_start[0], &ok[t]);
  close(start[1]);
  close(thread_start[1]);
  for (std::thread& thread : threads) thread.join();
  close(thread_start[0]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (bool thread_ok : ok) EXPECT_TRUE(thread_ok);

  std::vector<RegistryValue> values;
  ASSERT_EQ(hive_->EnumValues(shared, &values), kErrorSuccess);
  EXPECT_EQ(values.size(), static_cast<size_t>((kProcesses + kThreads) * kValuesEach));
}

TEST_F(RegistryTest, ProcessesCreatingTheDatabaseAtOnceAllSucceed) {
  constexpr int kProcesses = 6;
  const std::string db = dir_ + "/fresh.db";
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      Hive hive(db);
      bool ok = false;
      WriteValues(hive, p, 5, start[0], &ok);
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Hive hive(db);
  RegistryKey key;
  std::vector<RegistryValue> values;
  ASSERT_EQ(hive.OpenKey("Shared", kKeyRead, &key), kErrorSuccess);
  ASSERT_EQ(hive.EnumValues(key, &values), kErrorSuccess);
  EXPECT_EQ(values.size(), static_cast<size_t>(kProcesses * 5));
}

TEST_F(RegistryTest, LocalMachineLivesUnderTheMachineRoot) {
  const std::string root = dir_ + "/machine/root";
  ASSERT_EQ(setenv("CORVANE_ROOT", root.c_str(), 1), 0);
  Hive& hive = LocalMachine();
  EXPECT_EQ(&hive, &LocalMachine());
  EXPECT_EQ(hive.db_path(), root + "/registry.db");
  RegistryKey key;
  EXPECT_EQ(hive.CreateKey("X", kKeyRead, &key), kErrorSuccess);
  EXPECT_TRUE(std::filesystem::exists(root + "/registry.db"));
  ReleaseLocalMachine();
  unsetenv("CORVANE_ROOT");
}

}  // namespace
}  // namespace platform
