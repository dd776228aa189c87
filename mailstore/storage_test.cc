// Tests of the mailbox and public folder snapshot against the built storage server on a
// machine root of its own, and of the directory callbacks that feed it otherwise.
#include "mailstore/storage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <future>

#include "mailstore/test_storage_server.h"
#include "platform/directory_client.h"
#include "platform/local_server.h"
#include "platform/unicode.h"
#include "support/thread_layer.h"

using support::EventClose;
using support::EventCreate;

namespace mailstore {
namespace {

using testing::Clock;
using testing::TestStorageServer;
using testing::WaitUntil;
#ifdef _WIN32
using cvmad::testing::SIGKILL;
#endif

constexpr uint32_t kNoEvent = 0xFFFFFFFF;
const std::u16string kFolders = u"file://./BackOfficeStorage/localhost/public folders/";

// One field of every entry of a list, in order.
std::vector<std::u16string> Column(const CStorage& storage, bool mailboxes,
                                   std::u16string (CStorage::*field)(int32_t) const) {
  std::vector<std::u16string> column;
  const int32_t count = mailboxes ? storage.MBCount() : storage.PFCount();
  for (int32_t i = 0; i < count; ++i) column.push_back((storage.*field)(i));
  return column;
}

TEST(StorageTest, WalksBothServersSortedWithoutTheSystemMailboxes) {
  TestStorageServer server;
  server.SetMailboxes(
      "b@x.test::::b\nc@x.test::::SYSTEMMAILBOX{0f1e}\nd@x.test::::microsoft system attendant\n"
      "e@x.test::::SystemMailbox\nf@x.test::::Microsoft System Attendants\n"
      "a@x.test::::A\ng@y.test::::\nh@x.test::::C\n"
      "i@x.test::::\xEF\xBC\xA1\nj@x.test::::\xF0\x9F\x98\x80\nk@x.test::::\xED\x95\x9C\n");
  server.AddFolders({".b", ".A", ".A.d", ".C"});  // the server walks them as A, A/d, C, b
  ASSERT_TRUE(server.Register());
  ASSERT_TRUE(server.Start());

  CStorage storage;
  EXPECT_EQ(storage.EnumerateAll(0, true), kOk);
  // Ordered by UTF-16 code units without regard to ASCII case: a character above U+FFFF
  // (a surrogate pair) before a fullwidth letter, after U+D55C. A name left empty by the
  // server is not listed.
  EXPECT_EQ(Column(storage, true, &CStorage::MBName),
            (std::vector<std::u16string>{u"A", u"b", u"C", u"Microsoft System Attendants",
                                         u"SystemMailbox", u"\uD55C", u"\U0001F600", u"\uFF21"}));
  EXPECT_EQ(storage.MBUrl(0), u"file://./backofficestorage/x.test/mbx/a");
  EXPECT_EQ(storage.MBEmail(0), u"a@x.test");
  EXPECT_EQ(Column(storage, false, &CStorage::PFUrl),
            (std::vector<std::u16string>{kFolders + u"A", kFolders + u"A/d", kFolders + u"b",
                                         kFolders + u"C"}));
  EXPECT_EQ(storage.PFName(1), u"d");
  EXPECT_EQ(storage.PFEmail(1), u"");
  EXPECT_EQ(storage.PFPath(1), u"/public folders/A/d");
  EXPECT_EQ(CStorage::UrlLevel(storage.PFUrl(1).c_str()), 7);
  EXPECT_EQ(CStorage::PFLevel(storage.PFUrl(1).c_str()), 3);
  EXPECT_EQ(CStorage::PFLevel(u"a/b\\c"), 0);
  EXPECT_EQ(CStorage::UrlLevel(nullptr), 0);
  EXPECT_EQ(CStorage::UrlPart(u"a\\b/c\\d", 1, 3), u"/b/c");

  for (int32_t outside : {-1, storage.MBCount()}) {
    EXPECT_EQ(storage.MBName(outside) + storage.MBUrl(outside) + storage.MBEmail(outside), u"");
  }
  for (int32_t outside : {-1, storage.PFCount()}) {
    EXPECT_EQ(storage.PFName(outside) + storage.PFUrl(outside) + storage.PFEmail(outside) +
                  storage.PFPath(outside),
              u"");
  }

  // A refill replaces the list.
  server.SetMailboxes("z@x.test::::Z\n");
  EXPECT_EQ(storage.EnumerateMBs(kNoEvent, false), kOk);
  EXPECT_EQ(Column(storage, true, &CStorage::MBName), std::vector<std::u16string>{u"Z"});
}

// The server hands the items out a page at a time: two full pages and more, a page ended
// early by an item that only fits in a page of its own, and an item too large for any page,
// which is read by its own calls (each text cut at the longest a reply carries).
TEST(StorageTest, PagedWalkListsEveryItemOnce) {
  TestStorageServer server;
  std::string lines;
  std::vector<std::u16string> names;
  for (int i = 0; i < 2 * static_cast<int>(platform::kMaxPageItems) + 2; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "U%05d", i);
    lines += "u" + std::to_string(i) + "@x.test::::" + name + "\n";
    names.push_back(platform::Utf8ToUtf16(name));
    if (i == 1500) {
      lines += "big@x.test::::" + std::string(40000, 'N') + "\n";
      lines += "huge@x.test::::" + std::string(70000, 'n') + "\n";
    }
  }
  names.insert(names.begin(), {std::u16string(40000, u'N'),
                               std::u16string(platform::kMaxLocalServerText, u'n')});
  server.SetMailboxes(lines);
  ASSERT_TRUE(server.Register());
  ASSERT_TRUE(server.Start());
  CStorage storage;
  EXPECT_EQ(storage.EnumerateMBs(0, true), kOk);
  EXPECT_EQ(Column(storage, true, &CStorage::MBName), names);
  EXPECT_EQ(storage.MBEmail(1), u"huge@x.test");
  EXPECT_EQ(storage.MBUrl(2), u"file://./backofficestorage/x.test/mbx/u0");
}

// Calls sent ahead of their replies: with the connect message (read only when the server
// took the connection), and a page posted and never collected, whose reply a later call must
// skip rather than take for its own.
TEST(StorageTest, RepliesOfCallsSentAheadAreNeverTakenForLaterOnes) {
  TestStorageServer server;
  server.SetMailboxes("a@x.test::::A\nb@x.test::::B\n");
  ASSERT_TRUE(server.Register());
  ASSERT_TRUE(server.Start());
  std::unique_ptr<platform::LocalServerObject> object;
  platform::LocalServerCall ready;
  ready.slot = 10;
  EXPECT_EQ(platform::CreateLocalServerObject(kMailboxStorageClass, kPubFolderStorageInterface,
                                              &object, &ready, 1),
            platform::kENoInterface);
  EXPECT_EQ(ready.result, platform::kRpcEServerUnavailable);
  ASSERT_EQ(platform::CreateLocalServerObject(kMailboxStorageClass, kMailboxStorageInterface,
                                              &object, &ready, 1),
            kOk);
  EXPECT_EQ(ready.result, kOk);
  EXPECT_EQ(ready.number, 1);

  platform::LocalServerCall first[2];
  first[0].slot = 7;  // refresh
  first[0].argument = -1;
  first[1].slot = 8;  // move to the first item
  ASSERT_EQ(object->CallMany(first, 2), kOk);
  platform::LocalServerCall page;
  page.slot = 32;
  page.argument = 1;
  ASSERT_EQ(object->Post(&page, 1), kOk);
  ASSERT_EQ(object->Post(&page, 1), kOk);
  ASSERT_EQ(object->Collect(&page, 1), kOk);
  EXPECT_EQ(page.number, 1);
  std::u16string name;
  // The second page moved past A and B: the name getter has no current item.
  EXPECT_EQ(object->Call(12, 0, nullptr, &name), platform::kEUnexpected);
  EXPECT_EQ(object->Call(8, 0, nullptr, nullptr), kOk);
  EXPECT_EQ(object->Call(12, 0, nullptr, &name), kOk);
  EXPECT_EQ(name, u"A");
  // Collecting more than was sent ahead ends the instance.
  EXPECT_EQ(object->Collect(&page, 1), platform::kEUnexpected);
  EXPECT_EQ(object->Call(10, 0, nullptr, nullptr), platform::kRpcEServerUnavailable);
}

TEST(StorageTest, DirectoryUsersBecomeMailboxesUntilStopped) {
  CStorage storage;
  CStorage::Context run{&storage, 0};
  EXPECT_EQ(CStorage::EnumMB(u"Anna", u"anna@x.test", false, nullptr, nullptr, &run), kOk);
  EXPECT_EQ(CStorage::EnumMB(u"Anna", u"anna", true, nullptr, nullptr, &run), kOk);
  for (const char16_t* name : {u"SystemMailbox{1}", u"systemmailbox{", u"MICROSOFT SYSTEM ATTENDANT"})
    EXPECT_EQ(CStorage::EnumMB(name, u"s@x.test", true, nullptr, nullptr, &run), kOk);
  EXPECT_EQ(storage.MBCount(), 0);

  EXPECT_EQ(CStorage::EnumMB(u"Anna", u"anna@x.test", true, nullptr, u"", &run), kOk);
  EXPECT_EQ(CStorage::EnumMB(u"SystemMailbox", u"s@x.test", true, nullptr, u"", &run), kOk);
  EXPECT_EQ(CStorage::EnumPF(u"Projects", u"file://./p", nullptr, &run), kOk);
  ASSERT_EQ(storage.MBCount(), 2);
  EXPECT_EQ(storage.MBName(0), u"Anna");
  EXPECT_EQ(storage.MBUrl(0), u"file://./backofficestorage/x.test/mbx/anna");
  EXPECT_EQ(storage.MBEmail(0), u"anna@x.test");
  EXPECT_EQ(storage.PFUrl(0), u"file://./p");
  EXPECT_EQ(storage.PFEmail(0), u"");

  EXPECT_EQ(CStorage::EnumMB(u"Anna", u"anna@x.test", true, nullptr, u"", nullptr), kInvalidArg);
  const uint32_t stop = EventCreate(/*manual_reset=*/true, /*initially_signalled=*/true);
  for (uint32_t event : {stop, kNoEvent}) {
    CStorage::Context stopped{&storage, event};
    EXPECT_EQ(CStorage::EnumMB(u"Bo", u"bo@x.test", true, nullptr, u"", &stopped), kAborted);
    EXPECT_EQ(CStorage::EnumPF(u"P", u"file://./q", nullptr, &stopped), kAborted);
  }
  EXPECT_EQ(storage.MBCount() + storage.PFCount(), 3);
  EventClose(stop);
}

TEST(StorageTest, ServerNotReadyStoppedOrKilledLeavesTheFallbackOrTheOldList) {
  TestStorageServer server;
  platform::testing::SetEnvironment("LDAPNOINIT", "1");
  platform::testing::SetEnvironment("LDAPURI", "ldapi://%2Fnonexistent%2Fldapi");
  server.SetMailboxes("a@x.test::::A\n");
  server.AddFolders({".F"});
  ASSERT_TRUE(server.Register());
  ASSERT_TRUE(server.Start());
  CStorage storage;
  ASSERT_EQ(storage.EnumerateAll(0, true), kOk);
  server.Stop(SIGTERM);
  ASSERT_TRUE(server.Start({"--ready-after", "600"}));

  // A stop while the server is polled keeps what was there.
  const uint32_t stop = EventCreate(/*manual_reset=*/true, /*initially_signalled=*/true);
  EXPECT_EQ(storage.EnumerateAll(stop, true), kAborted);
  EXPECT_EQ(storage.EnumeratePFs(stop), kAborted);
  EXPECT_EQ(storage.MBCount() + storage.PFCount(), 2);
  EventClose(stop);
  // With no stop event to wait on the server is given up at once, for the fallback.
  const auto before = Clock::now();
  EXPECT_EQ(storage.EnumerateMBs(0, true), platform::kEDsServerDown);
  EXPECT_EQ(storage.EnumeratePFs(kNoEvent), kOk);  // no information store: no folder tree
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(4));
  EXPECT_EQ(storage.MBCount() + storage.PFCount(), 0);

  // A server that dies in the middle of a walk fails it at once.
  server.Stop(SIGTERM);
  std::string lines;
  for (int i = 0; i < 20000; ++i) lines += "u" + std::to_string(i) + "@x.test::::U\n";
  server.SetMailboxes(lines);
  ASSERT_TRUE(server.Start());
  server.Trace();
  auto walk = std::async(std::launch::async, [&] { return storage.EnumerateMBs(0, true); });
  ASSERT_TRUE(WaitUntil(
      [&] { return server.trace_log().find("CStorage::ItemMB()") != std::string::npos; }));
  server.Stop(SIGKILL);
  ASSERT_EQ(walk.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(walk.get(), platform::kEDsServerDown);
  EXPECT_EQ(storage.MBCount(), 0);
}

}  // namespace
}  // namespace mailstore
