// Tests of local server objects against the built storage server on a machine root of its
// own: creation results, broken and hung servers, and the lists the two classes walk.
#include <gtest/gtest.h>

#include "platform/local_server.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "platform/unicode.h"
#include "standins/cvstorage/storage_sources.h"
#include "standins/service/service.h"
#include "standins/testing/test_storage_server.h"

namespace cvstorage {
namespace {

using cvmad::testing::Clock;
using cvmad::testing::RunBuilt;
using cvmad::testing::WaitForExit;
using platform::CreateLocalServerObject;
using platform::LocalServerObject;
using testing::kLeftOutNotes;
using testing::MakeWritableByEveryone;
using testing::Native;
#ifdef _WIN32
using cvmad::testing::SIGKILL;
#endif
using Object = std::unique_ptr<LocalServerObject>;

constexpr const char* kMailboxClass = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b768";
constexpr const char* kMailboxInterface = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b761";
constexpr const char* kFolderClass = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b769";
constexpr const char* kFolderInterface = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b762";
constexpr uint32_t kNoMoreItems = 0x80070103;

// One entry as walked, in UTF-8: name, URL, e-mail.
using Entry = std::tuple<std::string, std::string, std::string>;

// The storage server on a machine root of its own; a server still running when the test ends
// must stop cleanly on SIGTERM.
class StorageTest : public ::testing::Test, protected testing::TestStorageServer {
 protected:
  ~StorageTest() override {
    if (running()) {
      EXPECT_EQ(Stop(SIGTERM), 0) << log();
    }
  }

  static Object Create(const char* clsid, const char* iid) {
    Object object;
    EXPECT_EQ(CreateLocalServerObject(clsid, iid, &object), 0u);
    return object;
  }

  // Walks a list as its users do: Refresh(-1), then MoveFirst and MoveNext to the end,
  // reading the three getters that start at `name_slot`.
  static std::vector<Entry> Walk(LocalServerObject* object, uint32_t name_slot,
                                 bool refresh = true) {
    std::vector<Entry> entries;
    if (refresh) {
      EXPECT_EQ(object->Call(7, -1, nullptr, nullptr), 0u);
    }
    uint32_t result = object->Call(8, 0, nullptr, nullptr);
    for (; result == 0; result = object->Call(9, 0, nullptr, nullptr)) {
      std::u16string text[3];
      for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(object->Call(name_slot + i, 0, nullptr, &text[i]), 0u);
      entries.emplace_back(platform::Utf16ToUtf8(text[0]), platform::Utf16ToUtf8(text[1]),
                           platform::Utf16ToUtf8(text[2]));
    }
    EXPECT_EQ(result, kNoMoreItems);
    EXPECT_EQ(object->Call(9, 0, nullptr, nullptr), kNoMoreItems);  // and stays there
    return entries;
  }
};

TEST_F(StorageTest, CreationAnswersWhyAnObjectCannotBeMade) {
  Object object;
  EXPECT_EQ(CreateLocalServerObject(kMailboxClass, kMailboxInterface, &object), 0x80040154u);
  ASSERT_TRUE(Register());
  EXPECT_EQ(CreateLocalServerObject(kMailboxClass, kMailboxInterface, &object), 0x80080005u);
  // The registration is found whatever the case, with or without braces.
  EXPECT_EQ(
      CreateLocalServerObject("{7C2E91D4-5B38-4F6A-9E0D-3A61C8F2B769}", kFolderInterface, &object),
      0x80080005u);
  EXPECT_EQ(CreateLocalServerObject("7c2e91d4-5b38-4f6a-9e0d", kMailboxInterface, &object),
            platform::kEInvalidArg);

  ASSERT_TRUE(Start()) << log();
#ifdef _WIN32
  EXPECT_EQ(EndpointAccess(), "D:P(A;;FA;;;ME)");
#else
  EXPECT_EQ(EndpointAccess(), "0600");
#endif
  EXPECT_EQ(CreateLocalServerObject(kMailboxClass, kFolderInterface, &object), 0x80004002u);
  EXPECT_EQ(object, nullptr);
  // A class registered on the server's socket that the server does not serve.
  const char* other = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b700";
  platform::RegistryKey key;
  platform::Hive& hive = platform::LocalMachine();
  ASSERT_EQ(hive.CreateKey(std::string("SOFTWARE\\Classes\\CLSID\\{") + other + "}\\LocalServer32",
                           platform::kKeyAllAccess, &key),
            0u);
  EXPECT_EQ(CreateLocalServerObject(other, kMailboxInterface, &object),
            platform::kRegdbEInvalidValue);
  ASSERT_EQ(hive.SetValue(key, "Socket", platform::kRegSz, "run/cvstorage.sock", 19), 0u);
  EXPECT_EQ(CreateLocalServerObject(other, kMailboxInterface, &object),
            platform::kClassEClassNotAvailable);

  object = Create(kMailboxClass, kMailboxInterface);
  ASSERT_NE(object, nullptr);
  int32_t number = -5;
  std::u16string text = u"left over";
  EXPECT_EQ(object->Call(3, 0, &number, &text), platform::kENotImpl);
  EXPECT_EQ(object->Call(11, 0, &number, &text), platform::kENotImpl);     // a folder's getter
  EXPECT_EQ(object->Call(12, 0, &number, &text), platform::kEUnexpected);  // before MoveFirst
  EXPECT_EQ(number, 0);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(Create(kFolderClass, kFolderInterface)->Call(14, 0, nullptr, nullptr),
            platform::kENotImpl);
  EXPECT_EQ(Stop(SIGINT), 0) << log();
  EXPECT_FALSE(EndpointListed());
}

// A socket of another account in a folder everyone may write, named by a registration:
// the object is refused before anything is sent to it.
TEST_F(StorageTest, SocketOfAnotherAccountGetsNoRequest) {
#ifdef _WIN32
  GTEST_SKIP() << "a pipe server of another account needs that account's logon, which this "
                  "suite cannot make (and Wine runs every process as one account)";
#else
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another account";
  const platform::testing::TemporaryFolder folder("cvstorage_foreign");
  const std::string path = folder.Path("storage.sock");
  std::filesystem::permissions(folder.path(), std::filesystem::perms::all);
  const pid_t pid = cvmad::testing::ListenAsAnotherAccount(path);
  ASSERT_GT(pid, 0);
  platform::RegistryKey key;
  ASSERT_EQ(platform::LocalMachine().CreateKey(
                std::string("SOFTWARE\\Classes\\CLSID\\{") + kMailboxClass + "}\\LocalServer32",
                platform::kKeyAllAccess, &key),
            0u);
  ASSERT_EQ(platform::LocalMachine().SetValue(key, "Socket", platform::kRegSz, path.c_str(),
                                              static_cast<uint32_t>(path.size() + 1)),
            0u);
  Object object;
  EXPECT_EQ(CreateLocalServerObject(kMailboxClass, kMailboxInterface, &object),
            platform::kCoEWrongServerIdentity);
  EXPECT_EQ(WaitForExit(pid, std::chrono::seconds(30)), 0);
#endif
}

TEST_F(StorageTest, ServerThatDiesOrHangsEndsTheObject) {
  SetMailboxes("a@x.test::::A\nb@x.test::::B\n");
  ASSERT_TRUE(Register());
  ASSERT_TRUE(Start()) << log();
  Object killed = Create(kMailboxClass, kMailboxInterface);
  Object hung = Create(kFolderClass, kFolderInterface);
  ASSERT_EQ(killed->Call(8, 0, nullptr, nullptr), 0u);

  ASSERT_TRUE(Suspend()) << "the server did not stop";
  auto before = Clock::now();
  EXPECT_EQ(hung->Call(10, 0, nullptr, nullptr), platform::kRpcEServerUnavailable);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(15));
  Resume();
  // The reply that now comes late is never taken for a later call's.
  EXPECT_EQ(hung->Call(10, 0, nullptr, nullptr), platform::kRpcEServerUnavailable);

  EXPECT_EQ(Stop(SIGKILL), 128 + SIGKILL);
  before = Clock::now();
  std::u16string name = u"stale";
  EXPECT_EQ(killed->Call(9, 0, nullptr, &name), platform::kRpcEServerUnavailable);
  EXPECT_EQ(name, u"");
  EXPECT_EQ(killed->Call(12, 0, nullptr, nullptr), platform::kRpcEServerUnavailable);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  Object object;
  EXPECT_EQ(CreateLocalServerObject(kMailboxClass, kMailboxInterface, &object), 0x80080005u);
}

TEST_F(StorageTest, WalksMailboxesAndPublicFolders) {
  SetMailboxes(
      "# mailboxes of the test domains\n"
      "anna@example.test:{PLAIN}x:1000:1000:Anna Berg:/home/anna::userdb_quota=1G\r\n"
      "\n"
      "no-domain:{PLAIN}x:1001:1001:Nobody\n"
      "short@example.test:{PLAIN}x:1002\n"
      "bad@uid.test:x:12a:1:Bad Uid\n"
      "two@at@example.test:x:1:1:Two\n"
      "@example.test:x:1:1:No Local Part\n"
      "jurgen@b\xC3\xBC"
      "ro.test:x:::J\xC3\xBCrgen Gro\xC3\x9F \xF0\x9D\x84\x9E\n"
      "zed@example.test::::Zed");
  // The folder names' rules are the store provider's too (folder_tree_test covers them).
  AddFolders({".A", ".A.B", ".A.B.C", ".M.N", ".G\xC3\xA4ste"});
  const bool left_out_made = AddFoldersLeftOut();
  ASSERT_TRUE(Register());
  ASSERT_TRUE(Start()) << log();

  Object mailboxes = Create(kMailboxClass, kMailboxInterface);
  int32_t ready = 0;
  EXPECT_EQ(mailboxes->Call(10, 0, &ready, nullptr), 0u);
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(
      Walk(mailboxes.get(), 12),
      (std::vector<Entry>{
          {"Anna Berg", "file://./backofficestorage/example.test/mbx/anna", "anna@example.test"},
          {"J\xC3\xBCrgen Gro\xC3\x9F \xF0\x9D\x84\x9E",
           "file://./backofficestorage/b\xC3\xBCro.test/mbx/jurgen", "jurgen@b\xC3\xBCro.test"},
          {"Zed", "file://./backofficestorage/example.test/mbx/zed", "zed@example.test"}}));
  for (const char* line :
       {":4: the user has no '@'", ":5: fewer than five fields",
        ":6: the uid or gid is not a number", ":7: the user is not local-part@domain",
        ":8: the user is not local-part@domain"})
    EXPECT_NE(log().find(Native(passwd()) + line), std::string::npos) << line << "\n" << log();
  // Non-ASCII text arrives as UTF-16, a character beyond the BMP as its surrogate pair.
  ASSERT_EQ(mailboxes->Call(8, 0, nullptr, nullptr), 0u);
  ASSERT_EQ(mailboxes->Call(9, 0, nullptr, nullptr), 0u);
  std::u16string name;
  EXPECT_EQ(mailboxes->Call(12, 0, nullptr, &name), 0u);
  EXPECT_EQ(name, u"J\u00FCrgen Gro\u00DF \xD834\xDD1E");

  const std::string prefix = "file://./BackOfficeStorage/localhost/public folders/";
  Object folders = Create(kFolderClass, kFolderInterface);
  EXPECT_EQ(Walk(folders.get(), 11),
            (std::vector<Entry>{{"A", prefix + "A", ""},
                                {"B", prefix + "A/B", ""},
                                {"C", prefix + "A/B/C", ""},
                                {"G\xC3\xA4ste", prefix + "G\xC3\xA4ste", ""},
                                {"M", prefix + "M", ""},
                                {"N", prefix + "M/N", ""}}));
#ifdef _WIN32
  if (platform::RunningUnderWine())
    GTEST_SKIP() << "Wine makes no folder link (its CreateSymbolicLinkW makes nothing, and it "
                    "supports no FSCTL_SET_REPARSE_POINT) and no name that is not UTF-16: the "
                    "walk's notes of them are not checked";
#endif
  ASSERT_TRUE(left_out_made);
  for (const char* note : kLeftOutNotes)
    EXPECT_NE(log().find(note), std::string::npos) << note << "\n" << log();
}

TEST_F(StorageTest, RefreshRereadsTheSourcesTheHiveNames) {
  SetMailboxes("a@x.test::::A\n");
  ASSERT_TRUE(Register());
  ASSERT_TRUE(Start()) << log();
  Object object = Create(kMailboxClass, kMailboxInterface);
  ASSERT_EQ(Walk(object.get(), 12).size(), 1u);

  SetMailboxes("a@x.test::::A\nb@x.test::::B\n");
  EXPECT_EQ(Walk(object.get(), 12, false).size(), 1u);  // the lists read at start
  EXPECT_EQ(Walk(object.get(), 12).size(), 2u);

  // Another file named in the hive; then one that is missing, which fails the walk so that
  // its users can turn to another source.
  const std::string other = root() + "/other-passwd";
  std::ofstream(other) << "c@y.test::::C\n";
  platform::RegistryKey key;
  platform::Hive& hive = platform::LocalMachine();
  ASSERT_EQ(hive.CreateKey("SOFTWARE\\Veltmark\\Corvane\\Storage", platform::kKeyAllAccess, &key),
            0u);
  ASSERT_EQ(hive.SetValue(key, "PasswdFile", platform::kRegSz, "other-passwd", 13), 0u);
  EXPECT_EQ(Walk(object.get(), 12),
            (std::vector<Entry>{{"C", "file://./backofficestorage/y.test/mbx/c", "c@y.test"}}));
  std::filesystem::remove(other);
  EXPECT_EQ(object->Call(7, -1, nullptr, nullptr), 0x80070002u);
  EXPECT_EQ(object->Call(8, 0, nullptr, nullptr), 0x80070002u);
  // A file others may write is not believed.
  std::ofstream(other) << "d@y.test::::D\n";
  MakeWritableByEveryone(other);
  EXPECT_EQ(object->Call(7, -1, nullptr, nullptr), 0x80070005u);
  EXPECT_NE(log().find(Native(other) + ": writable by everyone, not used"), std::string::npos)
      << log();
}

TEST_F(StorageTest, ReadyAfterKeepsIsReadyFalseForItsDelay) {
  ASSERT_TRUE(Register());
  const auto started = Clock::now();
  ASSERT_TRUE(Start({"--ready-after", "2"})) << log();
  Object object = Create(kFolderClass, kFolderInterface);
  int32_t ready = -1;
  EXPECT_EQ(object->Call(10, 0, &ready, nullptr), 0u);
  EXPECT_EQ(ready, 0);
  while (ready == 0 && Clock::now() < started + std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(object->Call(10, 0, &ready, nullptr), 0u);
  }
  EXPECT_EQ(ready, 1);
  EXPECT_GE(Clock::now() - started, std::chrono::seconds(2));
}

// The two floods that once took the server to hundreds of megabytes: calls sent without
// their replies ever being read, and the largest passwd-file the group could write, read
// afresh and held by six walks at once. The resident size stays within the budget.
TEST_F(StorageTest, FloodsStayWithinTheMemoryBudget) {
  constexpr long kResidentLimitKiB = (service::kMemoryBudget + (32u << 20)) / 1024;
  std::string lines;
  for (int i = 0; lines.size() < kMaxPasswdFileBytes - 64; ++i)
    lines += "u" + std::to_string(i) + "@d.test:x:1:1:N\n";
  SetMailboxes(lines);
  ASSERT_TRUE(Register());
  ASSERT_TRUE(Start()) << log();

  // Calls sent for a second and a half without a reply ever being read.
  const std::string hello =
      std::string(platform::kLocalServerMagic) + kMailboxClass + kMailboxInterface;
  std::string calls;
  for (int i = 0; i < 8192; ++i) calls.append("\x08\0\0\0\0\0\0\0", 8);  // MoveFirst
  size_t sent = 0;
  const cvmad::testing::UniqueFd greedy =
      SendUnread(hello, calls, std::chrono::milliseconds(1500), &sent);
  ASSERT_TRUE(greedy.valid());

  std::vector<Object> walks;
  for (int i = 0; i < 6; ++i) {
    walks.push_back(Create(kMailboxClass, kMailboxInterface));
    const uint32_t refreshed = walks.back()->Call(7, -1, nullptr, nullptr);
    EXPECT_TRUE(refreshed == 0 || refreshed == platform::kEOutOfMemory) << std::hex << refreshed;
    EXPECT_EQ(walks.back()->Call(8, 0, nullptr, nullptr), 0u);
  }
  const long peak = cvmad::testing::StatusKiB(pid(), "VmHWM");
  std::printf(
      "storage server: %zu call bytes sent unread; six walks of a %zu-byte passwd-file; "
      "resident peak %ld MiB (limit %ld MiB)\n",
      sent, lines.size(), peak / 1024, kResidentLimitKiB / 1024);
  if (cvmad::testing::kResidentSizesHold) {
    EXPECT_LE(peak, kResidentLimitKiB);
  }
  // A byte beyond kMaxPasswdFileBytes and the file is not read at all.
  SetMailboxes(lines + std::string(kMaxPasswdFileBytes + 1 - lines.size(), '#'));
  walks.clear();
  EXPECT_EQ(Create(kMailboxClass, kMailboxInterface)->Call(7, -1, nullptr, nullptr), 0x80004005u);
}

}  // namespace
}  // namespace cvstorage
