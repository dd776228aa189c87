// Tests of the agent: the built cvmad on a machine root of its own, spoken to in raw frames.
// A policy it acknowledged outliving a SIGKILL: tests/phpt/settings_agent.phpt.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <tuple>

#include "standins/include/cvpmapi.h"
#include "standins/testing/test_agent.h"

// The variables name only the fields they use; the rest are meant to be default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace cvmad::testing {
namespace {

wire::Variable IntVariable(const std::string& oid, int32_t value, uint32_t restriction = 0) {
  return {.oid = oid, .type = VMP_TYPE_INT, .restriction = restriction, .int_value = value};
}

// A one-row table whose first (integer) cell holds `first_cell`.
wire::Variable Table(const std::string& oid, std::vector<uint32_t> columns, int32_t first_cell) {
  wire::Variable table = IntVariable(oid, 0);
  table.type = VMP_TYPE_TABLE;
  table.rows.assign(1, std::vector<wire::Cell>(columns.size()));
  table.rows[0][0].int_value = first_cell;
  table.column_types = std::move(columns);
  return table;
}

std::string Package(const std::vector<wire::Variable>& variables) {
  std::string out;
  wire::EncodeSetPackage(variables, &out);
  return out;
}

// A get's reply carrying `variable`.
std::string Ok(const wire::Variable& variable) {
  std::string out = U32s({wire::kStatusOk});
  wire::EncodeVariable(variable, &out);
  return out;
}

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(agent_.Start()) << agent_.log(); }
  // Every test ends with a clean stop (which a sanitizer report would spoil).
  void TearDown() override {
    if (agent_.running()) {
      EXPECT_EQ(agent_.Stop(SIGTERM), 0) << agent_.log();
    }
  }
  TestAgent agent_;
};

TEST_F(AgentTest, AnswersEachMessageWithItsStatus) {
  RawClient client(agent_.socket_path());
  wire::Variable table = Table("1.5.2", {8}, 3);
  ASSERT_EQ(client.Call(wire::kSetPolicy, Package({IntVariable("1.5.1", 7), table})), U32s({0}));
  // Unknown OIDs of a get, a set of another type, check-ins of a pattern and replies of a get:
  // the module's suites and cvmactl_test.cc.
  const std::tuple<uint32_t, std::string, uint32_t> cases[] = {  // message, body, status
      {wire::kDelete, Packed("1.5.9"), wire::kStatusUnknownOid},
      {wire::kRestrict, Packed("1.5.9") + U32s({0, 0}), wire::kStatusUnknownOid},
      {wire::kGetPolicy, Packed("1.5.1") + "x", wire::kStatusMalformed},
      {wire::kSetPolicy, "garbage", wire::kStatusMalformed},
      {wire::kGetPolicy, Packed("1.5.*"), wire::kStatusMalformed},
      {0x24039999, "", wire::kStatusUnknownMessage},
      {wire::kSetPolicy, Package({Table("1.5.2", {8, 3}, 1)}), wire::kStatusTypeMismatch},
      {wire::kRestrict, Packed("1.5.2") + U32s({0, 1, 1, 0, 4}), wire::kStatusMalformed},
  };
  for (const auto& [message, body, status] : cases)
    EXPECT_EQ(StatusOf(client.Call(message, body)), status) << std::hex << message;
  EXPECT_EQ(StatusOf(client.Call(wire::kGetPolicy, Packed("1.5.1"), "1.2.3")),
            wire::kStatusWrongDestination);

  // Table-final binds tables only (final and hidden ones: settings/item_test.cc).
  ASSERT_EQ(client.Call(wire::kImport, Package({IntVariable("1.6", 1, VMP_RESTRICT_TABLE_FINAL)})),
            U32s({0}));
  EXPECT_EQ(client.Call(wire::kSetPolicy, Package({IntVariable("1.6", 2)})), U32s({0}));

  // A set keeps the restrictions and cell flags; table-final then refuses the whole package.
  ASSERT_EQ(client.Call(wire::kRestrict, Packed("1.5.2") + U32s({4, 1, 0, 0, 8})), U32s({0}));
  ASSERT_EQ(client.Call(wire::kSetPolicy, Package({Table("1.5.2", {8}, 5)})), U32s({0}));
  table.rows[0][0] = {8, 5, u""};
  table.restriction = 4;
  EXPECT_EQ(client.Call(wire::kGetPolicy, Packed("1.5.2")), Ok(table));
  ASSERT_EQ(client.Call(wire::kRestrict, Packed("1.5.2") + U32s({VMP_RESTRICT_TABLE_FINAL, 0})),
            U32s({0}));
  EXPECT_EQ(client.Call(wire::kSetPolicy,
                        Package({IntVariable("1.5.1", 8), Table("1.5.2", {8}, 6)})),
            U32s({wire::kStatusRefused}));
  EXPECT_EQ(client.Call(wire::kGetPolicy, Packed("1.5.1")), Ok(IntVariable("1.5.1", 7)));
}

TEST_F(AgentTest, MisbehavingClientsAffectOnlyThemselves) {
  const std::string path = agent_.socket_path();
  const std::string frame = Request(wire::kGetPolicy, Packed("1.5.1"));
  RawClient garbage(path), stalled(path), quitter(path), wrong_kind(path);
  ASSERT_TRUE(garbage.Send(std::string(32, '\xff')));
  ASSERT_TRUE(stalled.Send(frame.substr(0, 6)));
  ASSERT_TRUE(quitter.Send(frame.substr(0, frame.size() - 1)));
  quitter.Close();
  std::string reply_frame = frame;
  reply_frame[4] = static_cast<char>(wire::FrameKind::kReply);
  ASSERT_TRUE(wrong_kind.Send(reply_frame));

  RawClient good(path);
  EXPECT_EQ(StatusOf(good.Call(wire::kGetPolicy, Packed("1.5.1"))), wire::kStatusUnknownOid);
  EXPECT_TRUE(garbage.Ended(5000));
  EXPECT_TRUE(wrong_kind.Ended(5000));
}

TEST_F(AgentTest, StopsCleanlyOnTermAndRefusesASecondAgent) {
  EXPECT_EQ(WaitForExit(agent_.Spawn(), std::chrono::seconds(20)), 1);
  RawClient idle(agent_.socket_path()), stalled(agent_.socket_path());
  ASSERT_EQ(StatusOf(idle.Call(wire::kExport, "")), wire::kStatusOk);  // still served
  ASSERT_TRUE(stalled.Send(Request(wire::kExport, "").substr(0, 10)));
  EXPECT_EQ(agent_.Stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(agent_.socket_path()));
  EXPECT_TRUE(idle.Ended(0));
  EXPECT_TRUE(stalled.Ended(0));
}

}  // namespace
}  // namespace cvmad::testing
