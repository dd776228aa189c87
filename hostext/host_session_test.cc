// Tests of the host process's agent session against the built agent: the published block,
// the reload entry called on changes, and the session waiting for an absent agent or one
// killed and restarted under it.
#include "hostext/host_session.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>

#include "standins/agent_api/cvma32.h"
#include "standins/agent_api/cvpmapi.h"
#include "standins/testing/test_agent.h"

namespace cvwwwui {
namespace {

using cvmad::testing::Packed;
using cvmad::testing::StatusOf;
using cvmad::testing::TestAgent;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// What the reload entry was called with, for the test to wait on.
std::mutex reload_mutex;
std::condition_variable reloaded;
std::deque<std::string> reload_calls;

void Record(const char* oid) {
  std::lock_guard lock(reload_mutex);
  reload_calls.emplace_back(oid);
  reloaded.notify_all();
}

}  // namespace
}  // namespace cvwwwui

// The module's reload entry, exported under its name, as the module does (the test program
// exports its symbols). A second exported function stands for any other code address.
CV_EXPORT void LoadChangedSetting(const char* oid) { cvwwwui::Record(oid); }
CV_EXPORT void SomethingElse(const char* oid) { cvwwwui::Record(oid); }

namespace cvwwwui {
namespace {

// The next OID the reload entry got within `timeout`, or "" when none came.
std::string NextReload(milliseconds timeout = milliseconds(5000)) {
  std::unique_lock lock(reload_mutex);
  if (!reloaded.wait_for(lock, timeout, [] { return !reload_calls.empty(); })) return "";
  std::string oid = std::move(reload_calls.front());
  reload_calls.pop_front();
  return oid;
}

class HostSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VmpCreatePolicyOID(wire::kPolicyManagerOid, &manager_), VMP_OK);
    std::lock_guard lock(reload_mutex);
    reload_calls.clear();
  }
  void TearDown() override {
    host_.Stop();
    reload_block_.Release();
    VmpClose(manager_);
  }

  // Publishes `entry` as the reload entry of this process.
  void PublishReloadEntry(uintptr_t entry) {
    if (!reload_block_.is_mapped()) {
      ASSERT_EQ(
          platform::NamedBlock::Create(kReloadBlock, sizeof entry, &reload_block_, nullptr), 0u);
    }
    reload_block_.WriteWord(entry);
  }

  // Checks in `pattern` on the published session, as the module does.
  uint32_t CheckIn(const std::string& pattern) {
    uint32_t message = CVMACreateMessage(wire::kCheckIn);
    std::string body = Packed(pattern);
    CVMASetMessageData(message, body.data(), static_cast<uint32_t>(body.size()));
    uint32_t status = CVMASendMessage(cell_.load(), manager_, message, 5000);
    std::string reply(static_cast<const char*>(CVMAGetResponseDataBuffer(message)) ?: "",
                      CVMAGetResponseDataSize(message));
    CVMADeleteMessage(message);
    return status == CVMA_SEND_OK ? StatusOf(reply) : status;
  }

  // Changes `oid` from a connection of its own; the agent's status.
  uint32_t Change(const std::string& oid) {
    return StatusOf(cvmad::testing::ChangeVariable(agent_.socket_path(), oid));
  }

  // The word of this process's session block; ~0 when there is no block.
  static uintptr_t PublishedWord() {
    platform::NamedBlock block;
    if (platform::NamedBlock::Open(kSessionBlock, false, &block) != 0) return ~uintptr_t{0};
    return block.ReadWord();
  }

  TestAgent agent_;
  std::atomic<uint32_t> cell_{0};
  HostSession host_{&cell_, {agent_.socket_path(), milliseconds(50)}};
  platform::NamedBlock reload_block_;
  uint32_t manager_ = 0;
};

TEST_F(HostSessionTest, CallsOnlyAUsableReloadEntry) {
  HostSession::Reload("1.6.1");  // no block at all
  PublishReloadEntry(0);
  HostSession::Reload("1.6.2");
  // An address where nothing is mapped: a page given back at once.
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  munmap(page, 4096);
  PublishReloadEntry(reinterpret_cast<uintptr_t>(page));
  HostSession::Reload("1.6.3");
  // Code of a loaded object, but not the module's exported entry: libc's abort(), another
  // exported function, a point inside the entry.
  for (uintptr_t code : {reinterpret_cast<uintptr_t>(&abort), reinterpret_cast<uintptr_t>(&SomethingElse),
                         reinterpret_cast<uintptr_t>(&LoadChangedSetting) + 1}) {
    PublishReloadEntry(code);
    HostSession::Reload("1.6.3");
  }
  EXPECT_EQ(NextReload(milliseconds(0)), "");
  PublishReloadEntry(reinterpret_cast<uintptr_t>(&LoadChangedSetting));
  HostSession::Reload("1.6.4");
  EXPECT_EQ(NextReload(milliseconds(0)), "1.6.4");
}

// Started before the agent, the host publishes its block with no session in it until the
// agent comes; then a change checked in reaches the reload entry, and a stop takes the
// block away; an agent killed and started again is found again, with the check-ins. (The
// module's sends sharing the session with the waiting listener, and the changes a send reads
// on the way: cvma32_test.cc.)
TEST_F(HostSessionTest, WaitsForTheAgentHandsChangesToTheReloadEntryAndStops) {
  ASSERT_TRUE(host_.Start());
  EXPECT_EQ(PublishedWord(), reinterpret_cast<uintptr_t>(&cell_));
  EXPECT_EQ(cell_.load(), 0u);
  ASSERT_TRUE(agent_.Start()) << agent_.log();
  for (auto end = Clock::now() + std::chrono::seconds(10); cell_ == 0 && Clock::now() < end;)
    std::this_thread::sleep_for(milliseconds(5));
  ASSERT_NE(cell_.load(), 0u);
  ASSERT_EQ(CheckIn("1.6.*"), wire::kStatusOk);
  PublishReloadEntry(reinterpret_cast<uintptr_t>(&LoadChangedSetting));
  ASSERT_EQ(Change("1.9.5"), wire::kStatusOk);  // not checked in
  ASSERT_EQ(Change("1.6.5"), wire::kStatusOk);
  EXPECT_EQ(NextReload(), "1.6.5");
  EXPECT_EQ(NextReload(milliseconds(100)), "");

  ASSERT_EQ(agent_.Stop(SIGKILL), 128 + SIGKILL);
  ASSERT_TRUE(agent_.Start()) << agent_.log();
  // A change made before the listener is back is not seen: changed again until one comes.
  std::string reload;
  for (auto end = Clock::now() + std::chrono::seconds(10); reload.empty() && Clock::now() < end;) {
    ASSERT_EQ(Change("1.6.6"), wire::kStatusOk);
    reload = NextReload(milliseconds(200));
  }
  EXPECT_EQ(reload, "1.6.6");

  host_.Stop();
  EXPECT_EQ(cell_.load(), 0u);
  EXPECT_EQ(PublishedWord(), ~uintptr_t{0});  // the block is gone
  host_.Stop();  // twice is harmless
}

}  // namespace
}  // namespace cvwwwui
