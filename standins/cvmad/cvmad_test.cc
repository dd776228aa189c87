// Tests of the agent: the built cvmad on a machine root of its own, spoken to in raw frames.
// A policy it acknowledged outliving a SIGKILL: settings/item_test.cc.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#endif

#include <atomic>
#include <fstream>
#include <regex>
#include <tuple>

#include "standins/cvmad/audit_log.h"
#include "standins/cvmad/policy_database.h"
#include "standins/agent_api/cvpmapi.h"
#include "standins/service/service.h"
#include "standins/testing/test_agent.h"

// The variables name only the fields they use; the rest are meant to be default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace cvmad::testing {
namespace {

// What the agent holds besides its budget: the policy (at most kMaxPolicyBytes, kept
// encoded with its cell flags), SQLite's cache, the program and its threads.
constexpr size_t kBaselineBytes = 64u << 20;

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

using AgentTest = AgentFixture;

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

// Every change a client asks for leaves one line per variable in the audit file, naming the
// client's account: stored, refused (final, and the package's other variable with it),
// restricted, deleted; an enciphered setting's value masked, a long value cut, a line break
// in a value kept inside its line.
TEST_F(AgentTest, RecordsEveryChangeWithTheClientsAccount) {
  RawClient client(agent_.socket_path());
  wire::Variable text = IntVariable("1.5.4", 0);
  text.type = VMP_TYPE_STRING;
  text.string_value = u"a \"b\"\nc";
  wire::Variable secret = text;
  secret.oid = "1.3.6.1.4.1.8642.18.1.38.160";
  secret.string_value = u"0x0011223344556677";
  wire::Variable long_text = text;
  long_text.oid = "1.5.5";
  long_text.string_value.assign(kAuditMaxValueBytes, u'\u00e9');  // two bytes each
  ASSERT_EQ(client.Call(wire::kSetPolicy, Package({IntVariable("1.5.1", 7), text})), U32s({0}));
  ASSERT_EQ(client.Call(wire::kImport, Package({secret, long_text, Table("1.5.2", {8, 4}, -3)})),
            U32s({0}));
  ASSERT_EQ(client.Call(wire::kSetPolicy, Package({IntVariable("1.5.1", 8)})), U32s({0}));
  ASSERT_EQ(client.Call(wire::kRestrict, Packed("1.5.1") + U32s({VMP_RESTRICT_FINAL, 0})),
            U32s({0}));
  ASSERT_EQ(
      client.Call(wire::kSetPolicy, Package({IntVariable("1.5.3", 1), IntVariable("1.5.1", 9)})),
      U32s({wire::kStatusRefused}));
  ASSERT_EQ(client.Call(wire::kDelete, Packed("1.5.4")), U32s({0}));
  ASSERT_EQ(StatusOf(client.Call(wire::kDelete, Packed("1.5.9"))), wire::kStatusUnknownOid);

#ifdef _WIN32
  char user[256];
  DWORD user_size = sizeof user;
  ASSERT_TRUE(GetUserNameA(user, &user_size));
  const std::string who = "\"account\":\"" + std::string(user) + "\",\"address\":\"local, pid " +
                          std::to_string(GetCurrentProcessId()) + "\",";
#else
  const std::string who = "\"account\":\"" + std::string(getpwuid(geteuid())->pw_name) +
                          "\",\"address\":\"local, pid " + std::to_string(getpid()) + "\",";
#endif
  std::string cut;  // whole characters up to the bound, then the mark
  for (size_t k = 0; k < kAuditMaxValueBytes / 2; ++k) cut += "\u00e9";
  cut += kAuditCutMark;
  const std::string expected[] = {
      R"j("action":"set","oid":"1.5.1","old":null,"new":"7","result":"stored"})j",
      R"j("action":"set","oid":"1.5.4","old":null,"new":"a \"b\"\nc","result":"stored"})j",
      R"j("action":"import","oid":"1.3.6.1.4.1.8642.18.1.38.160","old":null,"new":"(enciphered, not recorded)","result":"stored"})j",
      R"j("action":"import","oid":"1.5.5","old":null,"new":")j" + cut + R"j(","result":"stored"})j",
      R"j("action":"import","oid":"1.5.2","old":null,"new":"-3,\n","result":"stored"})j",
      R"j("action":"set","oid":"1.5.1","old":"7","new":"8","result":"stored"})j",
      R"j("action":"restrict","oid":"1.5.1","old":"none","new":"final","result":"stored"})j",
      R"j("action":"set","oid":"1.5.3","old":null,"new":"1","result":"not stored: another setting of this change was refused"})j",
      R"j("action":"set","oid":"1.5.1","old":"8","new":"9","result":"refused: final or hidden"})j",
      R"j("action":"delete","oid":"1.5.4","old":"a \"b\"\nc","new":null,"result":"stored"})j",
  };
  std::ifstream file(agent_.root() + "/" + kAgentAuditFile);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), std::size(expected));
  const std::regex head(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","source":"agent",)");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(lines[i], match, head)) << lines[i];
    EXPECT_EQ(match.suffix().str(), who + expected[i]) << "record " << i;
  }
#ifndef _WIN32
  EXPECT_EQ(FileMode(agent_.root() + "/" + kAgentAuditFile), 0640u);
#endif
}

// An audit file that is not the agent's own (here a link another account could have put in
// the log folder) keeps it from starting: no change without its record.
TEST(AgentAuditTest, RefusesAnAuditFileNotItsOwn) {
  TestAgent agent;
  std::filesystem::create_directories(agent.root() + "/logs");
#ifdef _WIN32
  // The C++ library makes no symbolic links there: a second name of another file is refused
  // the same way.
  std::ofstream(agent.dir() + "/elsewhere").flush();
  std::filesystem::create_hard_link(agent.dir() + "/elsewhere",
                                    agent.root() + "/" + kAgentAuditFile);
  EXPECT_EQ(WaitForExit(agent.Spawn(), std::chrono::seconds(20)), 1);
  EXPECT_EQ(std::filesystem::file_size(agent.dir() + "/elsewhere"), 0u);
#else
  std::filesystem::create_symlink(agent.dir() + "/elsewhere", agent.root() + "/" + kAgentAuditFile);
  EXPECT_EQ(WaitForExit(agent.Spawn(), std::chrono::seconds(20)), 1);
  EXPECT_FALSE(std::filesystem::exists(agent.dir() + "/elsewhere"));
#endif
}

#ifdef _WIN32
// The policy file is read whole at start: one larger than any policy the agent writes is not
// read at all, and the agent does not start.
TEST(AgentPolicyFileTest, RefusesAFileBeyondTheLargestPolicy) {
  TestAgent agent;
  std::ofstream(agent.root() + "/policy.db").flush();
  std::filesystem::resize_file(agent.root() + "/policy.db", kMaxPolicyFileBytes + 1);
  EXPECT_EQ(WaitForExit(agent.Spawn(), std::chrono::seconds(20)), 1);
  EXPECT_NE(agent.log().find("not a policy file of this agent's"), std::string::npos)
      << agent.log();
}
#endif

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

// The flood: one account opens kMaxConnections connections (its share is admitted, the rest
// refused) and sends the largest frame on many of them, an import of the table that decodes
// to the most memory; another account is still answered within a second, and the agent's
// resident size stays within the budget. (The frames are handled one at a time, as the
// budget holds one; sixteen of them queue as well as sixty-four would, in a quarter of the
// time.)
TEST(AgentFloodTest, ServesAnotherAccountWithinASecondAndStaysInItsBudget) {
#ifdef _WIN32
  GTEST_SKIP() << "a client of another account needs that account's logon, which this suite "
                  "cannot make (and Wine runs every process as one account)";
#else
  if (geteuid() != 0) GTEST_SKIP() << "acting as another account needs root";
  constexpr uid_t kNobody = 65534;
  constexpr size_t kFloodFrames = 16;
  constexpr long kResidentLimitKiB = (service::kMemoryBudget + kBaselineBytes) / 1024;
  TestAgent agent;
  ASSERT_EQ(chmod(agent.dir().c_str(), 0711) | chown((agent.root() + "/run").c_str(), 0, kNobody) |
                chmod((agent.root() + "/run").c_str(), 0750),
            0);
  ASSERT_TRUE(agent.Start({"--admit-group", std::to_string(kNobody)})) << agent.log();

  // One integer column: every 8-byte cell becomes a row of its own when decoded.
  wire::Variable table = Table("1.9.1", {8}, 0);
  const size_t overhead = Request(wire::kImport, Package({table})).size() - 8;
  table.rows.resize((wire::kMaxFrameBody - 8 - overhead) / 8, table.rows[0]);
  const std::string frame = Request(wire::kImport, Package({table}));
  ASSERT_LE(frame.size(), size_t{wire::kMaxFrameBody});
  ASSERT_GT(frame.size(), size_t{wire::kMaxFrameBody} - 64);

  std::vector<UniqueFd> connections;
  for (size_t i = 0; i < service::kMaxConnections; ++i)
    connections.push_back(ConnectUnix(agent.socket_path()));
  size_t refused = 0;
  for (const UniqueFd& connection : connections) {
    pollfd event{connection.get(), 0, 0};
    refused += poll(&event, 1, 100) == 1 && (event.revents & POLLHUP) != 0;
  }
  std::atomic<int> answered{0}, done{0};
  std::vector<std::thread> senders;
  for (size_t i = 0; i < kFloodFrames; ++i) {
    senders.emplace_back([&, fd = connections[i].get()] {
      RawClient client{UniqueFd(dup(fd))};
      if (client.Send(frame)) {
        std::optional<wire::Frame> reply = client.Read(600000);
        if (reply && StatusOf(reply->body) == wire::kStatusOk) ++answered;
      }
      ++done;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the flood is under way
  const auto probe_start = Clock::now();  // the child's start counts against the probe
  EXPECT_EQ(RunAs(kNobody, kNobody, [&] {
              RawClient probe(agent.socket_path());
              const uint32_t status = StatusOf(probe.Call(wire::kGetPolicy, Packed("1.9.2")));
              return status == wire::kStatusUnknownOid ? 0 : 1;
            }),
            0);
  const long probe_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            Clock::now() - probe_start).count();
  const bool flood_running = done < static_cast<int>(kFloodFrames);
  for (std::thread& sender : senders) sender.join();
  const long peak = StatusKiB(agent.pid(), "VmHWM"), now = StatusKiB(agent.pid(), "VmRSS");
  std::printf(
      "flood: %zu connections held by one account, %zu refused beyond its share; "
      "%d frames of %zu bytes imported\n"
      "probe of another account answered in %ld ms (limit 1000 ms; flood still running: %s)\n"
      "agent resident: peak %ld MiB, now %ld MiB (limit %ld MiB: budget %zu MiB + %zu MiB)\n",
      connections.size(), refused, answered.load(), frame.size(), probe_ms,
      flood_running ? "yes" : "no", peak / 1024, now / 1024, kResidentLimitKiB / 1024,
      service::kMemoryBudget >> 20, kBaselineBytes >> 20);
  EXPECT_TRUE(flood_running);
  EXPECT_LE(probe_ms, 1000);
  EXPECT_EQ(refused, service::kMaxConnections - service::kMaxConnectionsPerAccount);
  EXPECT_EQ(answered.load(), static_cast<int>(kFloodFrames));
  if (cvmad::testing::kResidentSizesHold) {
    EXPECT_LE(peak, kResidentLimitKiB);
  }
  // The policy now holds nearly kMaxPolicyBytes: one more such table would not export.
  // (The account's share is free again once the agent has seen its connections end.)
  connections.clear();
  table.oid = "1.9.3";
  const std::string one_more = Request(wire::kImport, Package({table}));
  std::optional<wire::Frame> reply;
  for (int tries = 0; tries < 100 && !reply; ++tries) {
    RawClient last(agent.socket_path());
    if (last.Send(one_more)) reply = last.Read(60000);
    if (!reply) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(StatusOf(reply->body), wire::kStatusStorage);
  EXPECT_EQ(agent.Stop(SIGTERM), 0) << agent.log();
#endif
}

}  // namespace
}  // namespace cvmad::testing
