// Tests of libcvma32.so against the built agent and a fake peer.
#include <gtest/gtest.h>

#include "standins/agent_api/cvma32.h"
#include "standins/agent_api/cvpmapi.h"
#include "standins/testing/test_agent.h"

namespace cvmad::testing {
namespace {

using std::chrono::milliseconds;

class Cvma32Test : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(CVMAOpenSession(agent_.socket_path().c_str(), &session_), CVMA_OK);
    ASSERT_EQ(VmpCreatePolicyOID(wire::kPolicyManagerOid, &manager_), VMP_OK);
  }
  void TearDown() override {
    CVMACloseSession(session_);
    VmpClose(manager_);
    AgentFixture::TearDown();
  }

  // Sends a message to the policy manager: the send status, and the reply in `reply`.
  uint32_t Send(uint32_t id, const std::string& body, std::string* reply = nullptr) {
    uint32_t message = CVMACreateMessage(id);
    CVMASetMessageData(message, body.data(), static_cast<uint32_t>(body.size()));
    uint32_t status = CVMASendMessage(session_, manager_, message, 5000);
    auto data = static_cast<const char*>(CVMAGetResponseDataBuffer(message));
    if (reply != nullptr) reply->assign(data != nullptr ? data : "", CVMAGetResponseDataSize(message));
    CVMADeleteMessage(message);
    return status;
  }
  // Checks in `pattern` on the test's session: the agent's status.
  uint32_t CheckIn(const std::string& pattern) {
    std::string reply;
    return Send(wire::kCheckIn, Packed(pattern), &reply) == CVMA_SEND_OK ? StatusOf(reply) : ~0u;
  }
  // Changes `oid` from a connection of its own: the agent's reply.
  std::string Change(const std::string& oid) { return ChangeVariable(agent_.socket_path(), oid); }

  uint32_t session_ = 0, manager_ = 0;
};

TEST_F(Cvma32Test, OneSessionServesConcurrentSendersInTurn) {
  std::vector<std::thread> senders;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        std::string reply, oid = "1.6.20." + std::to_string(t * 100 + i);
        if (Send(wire::kGetPolicy, Packed(oid), &reply) != CVMA_SEND_OK ||
            StatusOf(reply) != wire::kStatusUnknownOid)
          ++mismatches;
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(mismatches, 0);
}

// A taker waiting for notifications does not hold the session: sends made meanwhile are
// answered while it still waits.
TEST_F(Cvma32Test, SendsGoAheadWhileATakerWaits) {
  std::atomic<bool> waiting{false}, taken{false};
  int32_t result = CVMA_OK;
  std::thread taker([&] {
    char oid[64];
    waiting = true;
    result = CVMATakeNotification(session_, 2000, oid, sizeof oid);
    taken = true;
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(20));  // well inside its wait by now
  for (int i = 0; i < 20; ++i) {
    std::string reply;
    ASSERT_EQ(Send(wire::kGetPolicy, Packed("1.6.20." + std::to_string(i)), &reply),
              CVMA_SEND_OK);
    EXPECT_EQ(StatusOf(reply), wire::kStatusUnknownOid);
  }
  EXPECT_FALSE(taken) << "the sends waited for the taker";
  taker.join();
  EXPECT_EQ(result, CVMA_E_NO_NOTIFICATION);
}

// The agent forgets a connection's check-ins when it ends; the session makes them again on
// its next connection, whether a reconnect or a send makes it.
TEST_F(Cvma32Test, MakesItsCheckInsAgainAfterTheAgentRestarts) {
  ASSERT_EQ(CheckIn("1.6.*"), wire::kStatusOk);
  ASSERT_EQ(CheckIn("1.6.*"), wire::kStatusOk);          // kept once
  ASSERT_EQ(CheckIn("1.8.x"), wire::kStatusMalformed);  // refused: not kept
  char oid[64];
  EXPECT_EQ(Change("1.6.6"), U32s({wire::kStatusOk}));
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, 5), CVMA_E_ARGUMENT);  // stays queued
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, sizeof oid), CVMA_OK);
  EXPECT_STREQ(oid, "1.6.6");

  ASSERT_EQ(agent_.Stop(SIGTERM), 0);
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, sizeof oid), CVMA_E_CONNECT);
  // How fast these fail is checked through the module's message layer.
  EXPECT_EQ(Send(wire::kExport, ""), CVMA_SEND_NO_AGENT);
  uint32_t other = 0;
  EXPECT_EQ(CVMAOpenSession(agent_.socket_path().c_str(), &other), CVMA_E_CONNECT);
  EXPECT_EQ(CVMAReconnectSession(session_), CVMA_E_CONNECT);  // no agent yet
  ASSERT_TRUE(agent_.Start()) << agent_.log();
  EXPECT_EQ(CVMAReconnectSession(session_), CVMA_OK);
  EXPECT_EQ(CVMAReconnectSession(session_), CVMA_OK);  // connected already
  EXPECT_EQ(Change("1.6.7"), U32s({wire::kStatusOk}));
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, sizeof oid), CVMA_OK);
  EXPECT_STREQ(oid, "1.6.7");

  // A send meets the restarted agent first this time; the variable it sets itself is no
  // news to it, the one changed elsewhere is.
  ASSERT_EQ(agent_.Stop(SIGTERM), 0);
  ASSERT_TRUE(agent_.Start()) << agent_.log();
  wire::Variable own;
  own.oid = "1.6.9";
  std::string package, reply;
  wire::EncodeSetPackage({own}, &package);
  EXPECT_EQ(Send(wire::kSetPolicy, package, &reply), CVMA_SEND_OK);
  EXPECT_EQ(reply, U32s({wire::kStatusOk}));
  EXPECT_EQ(Change("1.6.8"), U32s({wire::kStatusOk}));
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, sizeof oid), CVMA_OK);
  EXPECT_STREQ(oid, "1.6.8");
  EXPECT_EQ(CVMATakeNotification(session_, 0, oid, sizeof oid), CVMA_E_NO_NOTIFICATION);

  EXPECT_EQ(CVMAReconnectSession(0), CVMA_E_HANDLE);
}

// A fake peer: it never answers on the first connection; on the second it sends a stale
// reply and a notification before the real reply, then an oversized frame.
TEST(Cvma32PeerTest, TimesOutSkipsStaleRepliesAndRefusesOversizedFrames) {
  TestAgent dir;  // not started: only its root is used
  FakeAgent peer(dir.socket_path(), [](RawClient& client, int connection) {
    std::optional<wire::Frame> request = client.Read();
    if (request && connection > 0) {
      using enum wire::FrameKind;
      const std::string fresh = Encoded({kReply, request->request_id, 0, "fresh"});
      client.Send(Encoded({kReply, request->request_id + 7, 0, "stale"}) +
                  Encoded({kNotification, 0, wire::kNotifyChanged, Packed("1.2.3")}) + fresh);
      if (client.Read()) client.Send(std::string("\xff\xff\xff\x7f", 4) + fresh);
    }
    client.Ended(10000);  // the client drops the connection when it gives up
  });
  ASSERT_TRUE(peer.listening());
  uint32_t session = 0, destination = 0, message = CVMACreateMessage(wire::kExport);
  ASSERT_EQ(CVMAOpenSession(dir.socket_path().c_str(), &session), CVMA_OK);
  ASSERT_EQ(VmpCreatePolicyOID(wire::kPolicyManagerOid, &destination), VMP_OK);
  auto start = Clock::now();
  EXPECT_EQ(CVMASendMessage(session, destination, message, 200), CVMA_SEND_TIMEOUT);
  EXPECT_GE(Clock::now() - start, milliseconds(200));
  EXPECT_LT(Clock::now() - start, milliseconds(450));
  EXPECT_EQ(CVMASendMessage(session, destination, message, 5000), CVMA_SEND_OK);
  EXPECT_EQ(std::string(static_cast<const char*>(CVMAGetResponseDataBuffer(message)),
                        CVMAGetResponseDataSize(message)),
            "fresh");
  char oid[16];
  EXPECT_EQ(CVMATakeNotification(session, 0, oid, sizeof oid), CVMA_OK);
  EXPECT_STREQ(oid, "1.2.3");
  EXPECT_EQ(CVMASendMessage(session, destination, message, 5000), CVMA_SEND_BROKEN);
  CVMADeleteMessage(message);
  CVMACloseSession(session);
  VmpClose(destination);
}

// A socket served by an account that is neither this process's, root nor the machine
// root's owner (a member of the group that put it in the agent's way) is sent nothing.
TEST(Cvma32PeerTest, RefusesASocketServedByAnotherAccount) {
#ifdef _WIN32
  GTEST_SKIP() << "a pipe server of another account needs that account's logon, which this "
                  "suite cannot make (and Wine runs every process as one account)";
#else
  if (geteuid() != 0) GTEST_SKIP() << "listening as another account needs root";
  TestServer dir;
  setenv("CORVANE_ROOT", dir.root().c_str(), 1);
  ASSERT_EQ(chmod(dir.dir().c_str(), 0711) | chmod((dir.root() + "/run").c_str(), 0777), 0);
  const pid_t relay = ListenAsAnotherAccount(dir.socket_path());
  ASSERT_GT(relay, 0);
  uint32_t session = 0;
  EXPECT_EQ(CVMAOpenSession(nullptr, &session), CVMA_E_WRONG_SERVER);
  EXPECT_EQ(session, 0u);
  EXPECT_EQ(WaitForExit(relay, std::chrono::seconds(30)), 0);
  unsetenv("CORVANE_ROOT");
#endif
}

}  // namespace
}  // namespace cvmad::testing
