// Policy variable access against the real agent: reads, writes, fallbacks and truncation.
// Restriction queries are checked where the items and tables ask them
// (settings/item_test.cc, settings/table_entry_test.cc).
#include "policy/policy_access.h"

#include <gtest/gtest.h>

#include "module/module_state.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "policy/agent_test_support.h"

namespace {

constexpr const char* kInt = "1.3.6.1.4.1.8642.18.1.2.1";
constexpr const char* kText = "1.3.6.1.4.1.8642.18.1.2.2";
constexpr const char* kUnknown = "1.3.6.1.4.1.8642.18.1.2.99";

using PolicyAccessTest = policy_test::AgentTest;

// Values read back: the items' tests and the .phpt suite.
TEST_F(PolicyAccessTest, FallbacksApplyOnlyWhenTheValueCannotBeRead) {
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kInt, -5), 0);
  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, u"gr\u00fc\u00dfe \U0001F600"), 0);

  // Unknown variable: the agent's code, outputs untouched.
  int32_t number = 3;
  const std::u16string before(u"untouched");
  char16_t text[64] = u"untouched";
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

}  // namespace
