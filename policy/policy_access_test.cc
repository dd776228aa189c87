// Policy variable access against the real agent: reads, writes, fallbacks, truncation and
// restriction queries.
#include "policy/policy_access.h"

#include <gtest/gtest.h>

#include "module/module_state.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "policy/agent_test_support.h"

namespace {

constexpr const char* kInt = "1.3.6.1.4.1.8642.18.1.2.1";
constexpr const char* kText = "1.3.6.1.4.1.8642.18.1.2.2";
constexpr const char* kTable = "1.3.6.1.4.1.8642.18.1.2.3";
constexpr const char* kEmptyTable = "1.3.6.1.4.1.8642.18.1.2.4";
constexpr const char* kUnknown = "1.3.6.1.4.1.8642.18.1.2.99";

class PolicyAccessTest : public policy_test::AgentTest {
 protected:
  // Imports `variables` as the administrator does: the agent's status.
  int32_t Import(const std::vector<wire::Variable>& variables) {
    std::string body;
    wire::EncodeSetPackage(variables, &body);
    return policy_test::SendOperator(session_, wire::kImport, body);
  }
};

TEST_F(PolicyAccessTest, ValuesRoundTripAndFallbacksApplyOnlyWhenTheValueCannotBeRead) {
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kInt, -5), 0);
  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, u"gr\u00fc\u00dfe \U0001F600"), 0);
  int32_t number = 0;
  EXPECT_EQ(policy::VmpGetPolicyInt(session_, kInt, &number, 9), 0);
  EXPECT_EQ(number, -5);
  char16_t text[64] = u"untouched";
  EXPECT_EQ(policy::VmpGetPolicyStringW(session_, kText, text, 64, u"fallback"), 0);
  EXPECT_EQ(std::u16string(text), u"gr\u00fc\u00dfe \U0001F600");

  // Unknown variable: the agent's code, outputs untouched.
  number = 3;
  std::u16string before(u"untouched");
  std::copy(before.begin(), before.end() + 1, text);
  EXPECT_EQ(policy::VmpGetPolicyInt(session_, kUnknown, &number, 9),
            static_cast<int32_t>(wire::kStatusUnknownOid));
  EXPECT_EQ(number, 3);
  EXPECT_NE(policy::VmpGetPolicyStringW(session_, kUnknown, text, 64, u"fallback"), 0);
  EXPECT_EQ(std::u16string(text), before);

  // Fetched, but of the other type: the fallback, and the library's code.
  EXPECT_EQ(policy::VmpGetPolicyInt(session_, kText, &number, 9), VMP_E_TYPE);
  EXPECT_EQ(number, 9);
  char16_t small[5];
  EXPECT_EQ(policy::VmpGetPolicyStringW(session_, kInt, small, 5, u"four"), VMP_E_TYPE);
  EXPECT_EQ(std::u16string(small), u"four");
  EXPECT_EQ(policy::VmpGetPolicyStringW(session_, kInt, small, 5, u"fives"), policy::kPolicyTextTooLong);
  EXPECT_EQ(std::u16string(small), u"five");
  // A string longer than the buffer: cut by the library, -2, no fallback.
  EXPECT_EQ(policy::VmpGetPolicyStringW(session_, kText, small, 5, u"x"), policy::kPolicyTextTooLong);
  EXPECT_EQ(std::u16string(small), u"gr\u00fc\u00df");
}

TEST_F(PolicyAccessTest, RestrictionsComeFromTheAgent) {
  EXPECT_EQ(policy::GetPolicyRestriction(kUnknown), policy::kRestrictUnknown);
  EXPECT_EQ(policy::GetPolicyCellRestriction(kUnknown, 0), policy::kRestrictUnknown);
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kInt, 1), 0);
  EXPECT_EQ(policy::GetPolicyRestriction(kInt), 0);

  // The integer made final, a table without rows, and one whose first row hides its text.
  std::vector<wire::Variable> imported(3);
  imported[0].oid = kInt;
  imported[0].type = VMP_TYPE_INT;
  imported[0].restriction = policy::kRestrictFinal;
  imported[1].oid = kEmptyTable;
  imported[1].type = VMP_TYPE_TABLE;
  imported[1].column_types = {8, 4};
  imported[2] = imported[1];
  imported[2].oid = kTable;
  imported[2].rows = {{wire::Cell{0, 1, u""}, wire::Cell{policy::kRestrictHidden, 0, u"a"}}};
  ASSERT_EQ(Import(imported), 0);
  EXPECT_EQ(policy::GetPolicyRestriction(kInt), policy::kRestrictFinal);
  EXPECT_EQ(policy::GetPolicyCellRestriction(kEmptyTable, 1), 0);  // no rows: writable
  EXPECT_EQ(policy::GetPolicyCellRestriction(kTable, 1), policy::kRestrictHidden);
  EXPECT_EQ(policy::GetPolicyCellRestriction(kTable, 0), 0);
}

}  // namespace
