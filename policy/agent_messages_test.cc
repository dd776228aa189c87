// The message layer's codes for replies of the wrong shape (-9, -503) and the statuses it
// passes through, against a fake agent for the replies only a misbehaving agent gives, and
// against a stopped real agent. Its codes before set-up and without the agent's libraries
// (-11, -509) meet no PHP call, which runs after set-up and without a session when the
// libraries are missing; what a page meets then: tests/phpt/start_up.phpt.
#include "policy/agent_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "policy/agent_api.h"
#include "policy/agent_test_support.h"
#include "policy/policy_access.h"

namespace {

using policy_test::FakeAgent;
using policy_test::Root;
using policy_test::U32s;

constexpr const char* kOid = "1.3.6.1.4.1.8642.18.1.1.1";

TEST(AgentMessagesTest, RepliesOfTheWrongShapeGiveTheLayersCodes) {
  Root root;
  std::string get_reply, set_reply;
  std::atomic<int> requests{0};
  FakeAgent fake(root.socket_path(), FakeAgent::Answering([&](const wire::Frame& request) {
    ++requests;
    return request.message_id == policy::kMessageGetPolicy ? get_reply
           : request.message_id == policy::kMessageSetPolicy ? set_reply
                                                              : std::string("junk");
  }));
  const uint32_t session = root.OpenSession();
  ASSERT_NE(session, 0u);
  policy::AgentApiInit(nullptr);

  int32_t value = 7;
  for (size_t size = 0; size < 4; ++size) {
    get_reply = std::string(size, '\0');
    EXPECT_EQ(policy::VmpGetPolicyInt(session, kOid, &value, -1), policy::kPolicyShortReply);
  }
  // A non-zero status comes back as it is and the payload is not unpacked.
  get_reply = U32s({1234}) + "not a package";
  EXPECT_EQ(policy::VmpGetPolicyInt(session, kOid, &value, -1), 1234);
  EXPECT_EQ(value, 7);
  // Status 0 with a payload the library refuses gives the library's code.
  get_reply = U32s({0}) + "not a package";
  EXPECT_EQ(policy::VmpGetPolicyInt(session, kOid, &value, -1), VMP_E_PACKAGE);

  set_reply = U32s({0, 0});
  EXPECT_EQ(policy::VmpSetPolicyInt(session, kOid, 5), policy::kPolicyWrongReplySize);
  set_reply = "";
  EXPECT_EQ(policy::VmpSetPolicyInt(session, kOid, 5), policy::kPolicyWrongReplySize);
  set_reply = U32s({77});
  EXPECT_EQ(policy::VmpSetPolicyInt(session, kOid, 5), 77);
  EXPECT_EQ(policy::VmpSetPolicyStringW(session, kOid, u"x"), 77);

  // Check-in does not read its reply; a handle without OID (-3) still registers.
  const int before = requests;
  uint32_t unnamed = 0;
  ASSERT_EQ(agent::VmpCreatePolicyVar(&unnamed), 0);
  EXPECT_EQ(policy::VmpCheckIn(session, unnamed), 0);
  agent::VmpClose(unnamed);
  uint32_t cell = session;
  EXPECT_TRUE(policy::checkInPQH("1.3.6.1.4.1.8642.11.1.*", &cell));
  EXPECT_EQ(requests, before + 2);
}

// The real agent's statuses pass through: settings/item_test.cc.
using AgentMessagesOnAnAgentTest = policy_test::AgentTest;

TEST_F(AgentMessagesOnAnAgentTest, AStoppedAgentFailsFast) {
  int32_t value = 7;
  ASSERT_EQ(root_.Stop(SIGTERM), 0);
  const auto start = std::chrono::steady_clock::now();
  const int32_t result = policy::VmpGetPolicyInt(session_, kOid, &value, -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(result, 0);
  EXPECT_NE(static_cast<uint32_t>(result), policy::kSendDelivered);
  EXPECT_LT(took, std::chrono::milliseconds(100));
  EXPECT_EQ(value, 7);
}

}  // namespace
