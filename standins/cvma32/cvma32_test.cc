// Tests of libcvma32.so against the built agent (and a fake peer), with the policy library
// making the packages.
#include <gtest/gtest.h>

#include "standins/cvma32/cvma32_internal.h"
#include "standins/cvmad/test_agent.h"
#include "standins/include/cvpmapi.h"

namespace cvmad::testing {
namespace {

using std::chrono::milliseconds;

// A policy variable closed at the end of the scope: an integer, or a one-cell table of an
// integer column.
struct Variable {
  Variable(const char* oid, int32_t value, uint32_t restriction = 0, bool table = false) {
    const uint32_t columns[] = {8};
    VmpValue number{VMP_TYPE_INT, value};
    VmpCreatePolicyVar(&handle);
    VmpSetOID(handle, oid);
    if (table) {
      VmpCreateTable(handle, 1, columns);
      VmpInsertRow(handle, -1);
      VmpSetCellInt(handle, 0, 0, value);
    } else {
      VmpSetValue(handle, &number);
    }
    VmpSetRestriction(handle, restriction);
  }
  ~Variable() { VmpClose(handle); }
  uint32_t handle = 0;
};

class Cvma32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_.Start()) << agent_.log();
    ASSERT_EQ(CVMAOpenSession(agent_.socket_path().c_str(), &session_), CVMA_OK);
    ASSERT_EQ(VmpCreatePolicyOID(wire::kPolicyManagerOid, &manager_), VMP_OK);
  }
  void TearDown() override {
    CVMACloseSession(session_);
    VmpClose(manager_);
    if (agent_.running()) {
      EXPECT_EQ(agent_.Stop(SIGTERM), 0) << agent_.log();
    }
  }

  // Sends a message to the policy manager: the send status, and the reply in `reply`.
  uint32_t Send(uint32_t id, const std::string& body, std::string* reply = nullptr,
                uint32_t session = 0) {
    uint32_t message = CVMACreateMessage(id);
    CVMASetMessageData(message, body.data(), static_cast<uint32_t>(body.size()));
    uint32_t status = CVMASendMessage(session != 0 ? session : session_, manager_, message, 5000);
    auto data = static_cast<const char*>(CVMAGetResponseDataBuffer(message));
    if (reply != nullptr) reply->assign(data != nullptr ? data : "", CVMAGetResponseDataSize(message));
    CVMADeleteMessage(message);
    return status;
  }

  // Sends the variable's set package with message `id`: the agent's status.
  uint32_t Put(const Variable& variable, uint32_t id = wire::kSetPolicy, uint32_t session = 0) {
    void* body = nullptr;
    uint32_t length = 0, status = ~0u;
    std::string reply;
    if (PqhCreatePolicySetPackage(variable.handle, &body, &length) == VMP_OK &&
        Send(id, std::string(static_cast<char*>(body), length), &reply, session) == CVMA_SEND_OK)
      status = reply.size() == 4 ? StatusOf(reply) : ~0u;
    PqhFreeMemory(body);
    return status;
  }

  // The agent's status for a get of `oid`, and an integer variable's value in *value.
  uint32_t GetInt(const char* oid, int32_t* value) {
    std::string reply;
    if (Send(wire::kGetPolicy, Packed(oid), &reply) != CVMA_SEND_OK) return ~0u;
    Variable got("1", 0);
    if (StatusOf(reply) == wire::kStatusOk &&
        (PqhUnpackPolicyGetPackage(got.handle, reply.data() + 4, reply.size() - 4) != VMP_OK ||
         VmpGetInt(got.handle, value) != VMP_OK))
      return ~0u;
    return StatusOf(reply);
  }

  TestAgent agent_;
  uint32_t session_ = 0, manager_ = 0;
};

TEST_F(Cvma32Test, SetsGetsAndRefusesRestrictedVariables) {
  int32_t value = 0;
  EXPECT_EQ(Put(Variable("1.6.1", 41)), wire::kStatusOk);
  EXPECT_EQ(GetInt("1.6.1", &value), wire::kStatusOk);
  EXPECT_EQ(value, 41);
  EXPECT_EQ(GetInt("1.6.404", &value), wire::kStatusUnknownOid);

  struct Case {
    const char* oid;
    uint32_t restriction;
    bool table;
    uint32_t status;
  } cases[] = {
      {"1.6.10", VMP_RESTRICT_FINAL, false, wire::kStatusRefused},
      {"1.6.11", VMP_RESTRICT_HIDDEN, false, wire::kStatusRefused},
      {"1.6.12", VMP_RESTRICT_TABLE_FINAL, true, wire::kStatusRefused},
      {"1.6.13", VMP_RESTRICT_TABLE_FINAL, false, wire::kStatusOk},  // only tables have rows
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Put(Variable(c.oid, 1, c.restriction, c.table), wire::kImport), wire::kStatusOk);
    EXPECT_EQ(Put(Variable(c.oid, 2, 0, c.table)), c.status) << c.oid;
  }
  EXPECT_EQ(GetInt("1.6.10", &value), wire::kStatusOk);
  EXPECT_EQ(value, 1);
}

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

TEST_F(Cvma32Test, FailsFastWithoutAgentAndReconnectsWhenItIsBack) {
  ASSERT_EQ(Send(wire::kExport, ""), CVMA_SEND_OK);
  ASSERT_EQ(agent_.Stop(SIGTERM), 0);
  auto start = Clock::now();
  EXPECT_EQ(Send(wire::kExport, ""), CVMA_SEND_NO_AGENT);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  uint32_t other = 0;
  EXPECT_EQ(CVMAOpenSession(agent_.socket_path().c_str(), &other), CVMA_E_CONNECT);

  ASSERT_TRUE(agent_.Start());
  EXPECT_EQ(Send(wire::kExport, ""), CVMA_SEND_OK);
  // An agent restarted between two sends is met with a new connection, not an error.
  ASSERT_EQ(agent_.Stop(SIGTERM), 0);
  ASSERT_TRUE(agent_.Start());
  EXPECT_EQ(Send(wire::kExport, ""), CVMA_SEND_OK);
}

TEST_F(Cvma32Test, RefusesBadHandlesAndArguments) {
  uint32_t message = CVMACreateMessage(wire::kExport), closed = 0;
  VmpCreatePolicyOID("1.2.3", &closed);
  VmpClose(closed);
  for (auto [session, destination, sent] : {std::tuple{0u, manager_, message},
                                            {message, manager_, message},  // kinds differ
                                            {session_, manager_, session_},
                                            {session_, closed, message}})
    EXPECT_EQ(CVMASendMessage(session, destination, sent, 100), CVMA_SEND_BAD_HANDLE);
  char byte;
  EXPECT_EQ(CVMAGetResponseData(message, &byte, 1), CVMA_E_ARGUMENT);  // no reply yet
  EXPECT_EQ(CVMASetMessageData(message, nullptr, 1), CVMA_E_ARGUMENT);
  EXPECT_EQ(CVMADeleteMessage(session_), CVMA_E_HANDLE);
  EXPECT_EQ(CVMADeleteMessage(message), CVMA_OK);
  EXPECT_EQ(CVMAGetMessageID(message), 0u);
  uint32_t next = CVMACreateMessage(wire::kExport);
  EXPECT_NE(next, message);  // not handed out again at once
  CVMADeleteMessage(next);
}

TEST_F(Cvma32Test, QueuesNotificationsForTheSessionThatCheckedIn) {
  std::string reply;
  ASSERT_EQ(Send(wire::kCheckIn, Packed("1.6.*"), &reply), CVMA_SEND_OK);
  ASSERT_EQ(StatusOf(reply), wire::kStatusOk);
  uint32_t writer = 0;
  ASSERT_EQ(CVMAOpenSession(agent_.socket_path().c_str(), &writer), CVMA_OK);
  EXPECT_EQ(Put(Variable("1.6.7", 1), wire::kSetPolicy, writer), wire::kStatusOk);
  CVMACloseSession(writer);
  char oid[16];
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, 5), CVMA_E_ARGUMENT);  // stays queued
  EXPECT_EQ(CVMATakeNotification(session_, 5000, oid, sizeof oid), CVMA_OK);
  EXPECT_STREQ(oid, "1.6.7");
  EXPECT_EQ(CVMATakeNotification(session_, 0, oid, sizeof oid), CVMA_E_NO_NOTIFICATION);
}

// A fake peer: it never answers on the first connection; on the second it sends a stale
// reply and a notification before the real reply, then an oversized frame.
TEST(Cvma32PeerTest, TimesOutSkipsStaleRepliesAndRefusesOversizedFrames) {
  TestAgent dir;  // not started: only its folder is used
  const std::string path = dir.dir() + "/peer.sock";
  sockaddr_un address{AF_UNIX, {}};
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.get(), 4), 0);
  std::thread peer([&] {
    RawClient silent(UniqueFd(accept(listener.get(), nullptr, nullptr)));
    silent.Read();
    silent.Ended(10000);  // the client drops the connection when it gives up
    RawClient answering(UniqueFd(accept(listener.get(), nullptr, nullptr)));
    std::optional<wire::Frame> request = answering.Read();
    std::string out;
    uint32_t id = request ? request->request_id : 0;
    wire::EncodeFrame({wire::FrameKind::kReply, id + 7, 0, "stale"}, &out);
    wire::EncodeFrame({wire::FrameKind::kNotification, 0, wire::kNotifyChanged, Packed("1.2.3")}, &out);
    wire::EncodeFrame({wire::FrameKind::kReply, id, 0, "fresh"}, &out);
    answering.Send(out);
    if (answering.Read()) answering.Send(std::string("\xff\xff\xff\x7f", 4) + out);
    answering.Ended(10000);
  });

  uint32_t session = 0, destination = 0, message = CVMACreateMessage(wire::kExport);
  ASSERT_EQ(CVMAOpenSession(path.c_str(), &session), CVMA_OK);
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
  peer.join();
}

}  // namespace
}  // namespace cvmad::testing
