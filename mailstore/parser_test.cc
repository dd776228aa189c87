// Tests of the mail store parser: its worker against the built storage server on a machine
// root of its own, the hand-off of requests from many threads, and its end in each state.
#include "mailstore/parser.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "mailstore/list_rows.h"
#include "mailstore/mail_host.h"
#include "mailstore/test_storage_server.h"
#include "support/thread_layer.h"

using support::ThreadLayerInitialize;
using support::ThreadLayerShutdown;

namespace mailstore {
namespace {

using testing::Clock;
using testing::TestStorageServer;
using testing::WaitUntil;

class ParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetMailHostNames();  // whether this machine has an information store is the case's
    ASSERT_TRUE(ThreadLayerInitialize());
  }
  void TearDown() override {
    parser_.reset();
    ThreadLayerShutdown();
  }

  // Makes the parser and waits for its first attempt to end.
  void StartParser() {
    parser_ = std::make_unique<CMailStoreParser>();
    parser_->ReportWorkerJoinedTo(&joined_);
    ASSERT_TRUE(WaitUntil([&] { return parser_->IsInitialised(); }));
  }
  // Destroys the parser, which must take less than `bound`: whether its worker was joined.
  bool Destroy(std::chrono::seconds bound) {
    const auto before = Clock::now();
    parser_.reset();
    EXPECT_LT(Clock::now() - before, bound);
    return joined_;
  }
  // How often `line` is in the trace.
  size_t Count(const char* line) const {
    const std::string log = server_.trace_log();
    size_t count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
  }

  TestStorageServer server_;
  std::unique_ptr<CMailStoreParser> parser_;
  bool joined_ = false;
};

TEST_F(ParserTest, RefusesDuringTheFirstAttemptThenServesRequests) {
  server_.SetMailboxes("a@x.test::::A\nb@x.test::::B\n");
  server_.AddFolders({".F"});
  ASSERT_TRUE(server_.Register());
  ASSERT_TRUE(server_.Start({"--ready-after", "1"}));
  parser_ = std::make_unique<CMailStoreParser>();
  parser_->ReportWorkerJoinedTo(&joined_);
  platform::NamedBlock block;
  ASSERT_EQ(platform::NamedBlock::Open(kParserBlock, false, &block), 0u);
  EXPECT_EQ(block.ReadWord(), reinterpret_cast<uintptr_t>(parser_.get()));
  // The server is polled again only after 5 s: the first attempt is still running.
  EXPECT_FALSE(parser_->IsInitialised());
  EXPECT_EQ(parser_->GetMBsSize(), 0);
  EXPECT_FALSE(parser_->AckquireStorage());
  EXPECT_FALSE(parser_->EnumMBs());
  EXPECT_FALSE(parser_->ReleaseStorage());

  ASSERT_TRUE(WaitUntil([&] { return parser_->IsInitialised(); }));
  EXPECT_EQ(parser_->GetMBsSize(), 2);
  EXPECT_EQ(parser_->GetPFsSize(), 1);
  // A request other than the two lists and stop is answered without a refill.
  server_.SetMailboxes("c@x.test::::C\n");
  server_.AddFolders({".G"});
  EXPECT_TRUE(parser_->RequestForTesting(3));
  EXPECT_EQ(parser_->GetMBsSize() + parser_->GetPFsSize(), 3);
  EXPECT_TRUE(parser_->EnumMBs());
  EXPECT_TRUE(parser_->EnumPFs());
  ASSERT_TRUE(parser_->AckquireStorage());
  EXPECT_EQ(parser_->StorageLocked()->MBName(0), u"C");
  EXPECT_EQ(parser_->StorageLocked()->PFCount(), 2);
  EXPECT_TRUE(parser_->ReleaseStorage());

  block.Release();
  EXPECT_TRUE(Destroy(std::chrono::seconds(5)));  // idle
  EXPECT_EQ(platform::NamedBlock::Open(kParserBlock, false, &block), 2u);
}

// The pages' rows end at a name's or URL's first U+0000, whether the trace converts them
// one by one or not.
TEST_F(ParserTest, ScriptRowsEndAtTheFirstNulTracedOrNot) {
  server_.SetMailboxes(std::string("a@x\0y.test::::An\0na\n", 20));
  ASSERT_TRUE(server_.Register());
  ASSERT_TRUE(server_.Start());
  for (bool traced : {false, true}) {
    // The trace's switches are set while no worker runs: they are read without a lock.
    if (traced) {
      ASSERT_TRUE(Destroy(std::chrono::seconds(5)));
      server_.Trace();
    }
    StartParser();
    ListRows rows;
    ASSERT_EQ(ReadStorageList(parser_.get(), StorageListKind::kMailboxes, false, &rows),
              ReadResult::kRead);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "An") << traced;
    EXPECT_EQ(rows[0].url, "file://./backofficestorage/x") << traced;
    EXPECT_EQ(rows[0].level, 4) << traced;
  }
}

TEST_F(ParserTest, RequestsOfManyThreadsAreAnsweredOneAtATime) {
  server_.SetMailboxes("a@x.test::::A\nb@x.test::::B\nc@x.test::::C\n");
  server_.AddFolders({".F", ".F.G"});
  ASSERT_TRUE(server_.Register());
  ASSERT_TRUE(server_.Start());
  StartParser();
  // With the server, then without it, when every refill fails at once and empties its list:
  // once a refresh is answered, its list is the refilled one.
  for (int32_t scale : {1, 0}) {
    std::vector<std::future<bool>> threads;
    for (int t = 0; t < 8; ++t) {
      threads.push_back(std::async(std::launch::async, [&, t] {
        bool right = true;
        for (int i = 0; i < 40; ++i) {
          const bool mailboxes = (i + t) % 2 == 0;
          right &= mailboxes ? parser_->EnumMBs() : parser_->EnumPFs();
          right &= parser_->AckquireStorage();
          const CStorage* storage = parser_->StorageLocked();
          right &= (mailboxes ? storage->MBCount() : storage->PFCount()) ==
                   (mailboxes ? 3 : 2) * scale;
          const auto list = mailboxes ? storage->MailboxesLocked() : storage->PublicFoldersLocked();
          right &= parser_->ReleaseStorage();
          // A list taken under the lock is read after leaving it, as the pages do.
          for (const StorageItem& item : *list) right &= !item.Name.empty() && !item.Url.empty();
        }
        return right;
      }));
    }
    for (auto& thread : threads) {
      ASSERT_EQ(thread.wait_for(std::chrono::seconds(60)), std::future_status::ready);
      EXPECT_TRUE(thread.get());
    }
    server_.Stop(SIGTERM);
  }
  EXPECT_TRUE(Destroy(std::chrono::seconds(5)));
}

TEST_F(ParserTest, DestroyStopsARunningRefill) {
  ASSERT_TRUE(server_.Register());
  ASSERT_TRUE(server_.Start());
  server_.Trace();
  StartParser();
  server_.Stop(SIGTERM);
  ASSERT_TRUE(server_.Start({"--ready-after", "600"}));
  // The requester holds the parser itself, not parser_, which Destroy resets meanwhile.
  CMailStoreParser* parser = parser_.get();
  auto request = std::async(std::launch::async, [parser] { return parser->EnumMBs(); });
  ASSERT_TRUE(WaitUntil([&] { return Count("CStorage::EnumerateMBs()\n") == 2; }));
  EXPECT_TRUE(Destroy(std::chrono::seconds(4)));
  EXPECT_TRUE(request.get());
}

TEST_F(ParserTest, ARequestWaitsABoundedTimeAndTheTurnComesBack) {
  server_.SetMailboxes("a@x.test::::A\n");
  ASSERT_TRUE(server_.Register());
  ASSERT_TRUE(server_.Start());
  server_.Trace();
  platform::testing::SetEnvironment("LDAPURI", "ldap://127.0.0.1:1");  // the fallback fails at once
  StartParser();
  // A server that is never ready keeps the worker polling it.
  server_.Stop(SIGTERM);
  ASSERT_TRUE(server_.Start({"--ready-after", "600"}));
  // A refresh through the pages' call: no list, and no rows.
  ListRows rows;
  const auto before = Clock::now();
  EXPECT_EQ(ReadStorageList(parser_.get(), StorageListKind::kMailboxes, true, &rows),
            ReadResult::kNoAnswer);
  EXPECT_EQ(rows.size(), 0u);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before);
  printf("a request the worker could not answer waited %lld ms (bound %u ms)\n",
         static_cast<long long>(waited.count()), CMailStoreParser::kRequestWaitMs);
  EXPECT_EQ(Count("The mail store parser did not answer within 20000 ms\n"), 1u);
  // When that server goes, the worker ends the refill nobody waits for and gives the turn
  // to the next request.
  server_.Stop(SIGTERM);
  ASSERT_TRUE(server_.Start());
  EXPECT_TRUE(parser_->EnumMBs());
  EXPECT_EQ(parser_->GetMBsSize(), 1);
  EXPECT_TRUE(Destroy(std::chrono::seconds(5)));
#ifdef _WIN32
  _putenv_s("LDAPURI", "");  // an empty value removes it
#else
  unsetenv("LDAPURI");
#endif
}

TEST_F(ParserTest, DestroyDuringTheWaitAfterAFailedFirstAttemptEndsTheWorker) {
  server_.Trace();
  // An information store without a public folder root fails the folder tree too.
  platform::RegistryKey store;
  platform::LocalMachine().CreateKey(
      "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\MAIL01\\"
      "Private-5d1c7a02-8b3e-4f61-a9d4-0c2e7b61f3a8",
      platform::kKeyAllAccess, &store);
  std::filesystem::remove(server_.root() + "/mail/public");
  StartParser();  // nothing is registered: both lists fail
  EXPECT_TRUE(Destroy(std::chrono::seconds(4)));
  EXPECT_EQ(Count("Storage WAS NOT parsed from first attempt"), 1u);
  EXPECT_EQ(Count("*** Entering CMailStoreParser::handler ***"), 0u);
}

}  // namespace
}  // namespace mailstore
