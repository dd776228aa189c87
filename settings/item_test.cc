// Setting items against the real agent and the registry of a temporary machine root, with
// their trace lines read back from the log file.
#include "settings/item.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/module_state.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "policy/agent_test_support.h"
#include "policy/policy_access.h"
#include "support/cipher.h"
#include "support/trace.h"

using support::EncryptStringW;

namespace {

using ::testing::Contains;
using ::testing::Not;
#ifdef _WIN32
using cvmad::testing::SIGKILL;  // a termination of the agent's process there
#endif
using Strings = std::vector<std::string>;

constexpr const char* kInt = "1.3.6.1.4.1.8642.18.2.1";
constexpr const char* kText = "1.3.6.1.4.1.8642.18.2.2";
constexpr const char* kUnknown = "1.3.6.1.4.1.8642.18.2.99";

class ItemTest : public policy_test::AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(platform::LocalMachine().CreateKey("SOFTWARE\\Veltmark\\Corvane\\Items",
                                                 platform::kKeyAllAccess, &key_),
              0u);
  }

  // The trace written since the last call, as "severity digit:message".
  Strings Lines() { return policy_test::TraceMessages(log_, &seen_, true); }

  uint32_t Restrict(const char* oid, uint32_t flags) {
    return policy_test::SendOperator(root_, wire::kRestrict,
                                     cvmad::testing::Packed(oid) + policy_test::U32s({flags, 0}));
  }
  std::u16string PolicyText(const char* oid) {
    std::vector<char16_t> buffer(256);
    EXPECT_EQ(policy::VmpGetPolicyStringW(session_, oid, buffer.data(), 256, u"?"), 0);
    return buffer.data();
  }
  platform::RegistryValue Stored(const char* name) {
    platform::RegistryValue value;
    EXPECT_EQ(platform::LocalMachine().QueryValue(key_, name, &value), 0u);
    return value;
  }

  size_t seen_ = 0;
  platform::RegistryKey key_;
};

TEST_F(ItemTest, LineBreaksAreCrLfInMemoryAndLfInThePolicy) {
  EXPECT_EQ(settings::ToCrLf("a\nb\r\nc\r"), "a\r\nb\r\r\nc\r");
  EXPECT_EQ(settings::StripCr("\ra\r\nb\r"), "a\nb");

  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, u"one\ntwo"), 0);
  settings::CStringItem item(kText, "d\ne");
  EXPECT_EQ(item.default_value(), "d\r\ne");
  EXPECT_EQ(item.value(), "one\r\ntwo");
  EXPECT_THAT(Lines(),
              testing::IsSupersetOf(Strings{"1:CStringItem::Read(" + std::string(kText) + ")",
                                            "1:buf = 'one\ntwo', rc = 0",
                                            "1:OID: " + std::string(kText) + " (one\r\ntwo)"}));
  item.Set("x\r\ny");
  ASSERT_TRUE(item.Write());
  EXPECT_FALSE(item.IsChanged());
  EXPECT_EQ(PolicyText(kText), u"x\ny");
  EXPECT_THAT(Lines(),
              testing::IsSupersetOf(Strings{"1:Set policy var " + std::string(kText) + " to x\ny",
                                            std::string("1:Policy var successfully saved.")}));

  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, u"a\r\nb"), 0);
  ASSERT_TRUE(item.Read());
  EXPECT_EQ(item.value(), "a\r\r\nb");
  // A text too long for the item's buffer is not taken: the value stays, with the error line.
  const std::u16string too_long(policy::kStringCapacity, u'x');
  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, too_long.c_str()), 0);
  EXPECT_FALSE(item.Read());
  EXPECT_EQ(item.value(), "a\r\r\nb");
  EXPECT_THAT(Lines(), Contains("3:Can not get policy var " + std::string(kText) + " - error -2"));

  settings::CStringItem missing(kUnknown, "x");
  EXPECT_EQ(missing.value(), "");
  EXPECT_THAT(Lines(),
              Contains("3:Can not get policy var " + std::string(kUnknown) + " - error 1001"));
}

TEST_F(ItemTest, IntegerSetTracesAndMarksOnlyARealChange) {
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kInt, -5), 0);
  settings::CIntItem item(kInt, 3);
  EXPECT_EQ(item.value(), -5);
  Lines();
  item.Set(-5);
  EXPECT_FALSE(item.IsChanged());
  EXPECT_THAT(Lines(), testing::ElementsAre("1:CIntItem::Set(4294967291)"));
  item.Set(6);
  EXPECT_TRUE(item.IsChanged());
  EXPECT_THAT(Lines(), testing::ElementsAre("1:CIntItem::Set(6)", "1:Old -5", "1:New 6"));
  ASSERT_TRUE(item.Write());
  EXPECT_FALSE(item.IsChanged());
  EXPECT_EQ(settings::CIntItem(kInt, 3).value(), 6);
}

TEST_F(ItemTest, EncryptedValuesAreStoredEnciphered) {
  // Policy: "0x" and upper-case hex, read back as stored.
  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, u""), 0);
  settings::CStringItem secret(kText, "", true);
  secret.Set("abc");
  Lines();
  ASSERT_TRUE(secret.Write());
  EXPECT_EQ(PolicyText(kText), u"0x176BF70895FF2B03635F5821D0559624");
  // The clear text stays out of the trace: the write line shows a mask instead.
  EXPECT_THAT(Lines(), Contains("1:Set policy var " + std::string(kText) + " to ********"));
  ASSERT_TRUE(secret.Read());
  EXPECT_EQ(secret.value(), "0x176BF70895FF2B03635F5821D0559624");
  secret.Set("0x176BF70895FF2B03635F5821D0559624");
  EXPECT_FALSE(secret.IsChanged());

  // Registry: binary cipher bytes, deciphered on read; the write line leaves the value out.
  settings::CStringRegItem password(key_, "Password", "none", true);
  EXPECT_EQ(password.value(), "none");
  password.Set("p\u00e4ss");
  Lines();
  ASSERT_TRUE(password.Write());
  const Strings lines = Lines();
  EXPECT_THAT(lines, Contains("1:CStringRegItem::Write(Password)"));
  EXPECT_THAT(lines, Contains("1:Set registry var 'Password' to '********'"));
  const platform::RegistryValue stored = Stored("Password");
  std::string expected;
  ASSERT_TRUE(EncryptStringW(u"p\u00e4ss", &expected));
  EXPECT_EQ(stored.type, platform::kRegBinary);
  EXPECT_EQ(stored.data, expected);
  EXPECT_EQ(settings::CStringRegItem(key_, "Password", "none", true).value(), "p\u00e4ss");

  // Bytes that are no cipher text: the default, with the cipher's and the item's lines.
  platform::LocalMachine().SetValue(key_, "Password", platform::kRegBinary, expected.data(), 8);
  settings::CStringRegItem broken(key_, "Password", "none", true);
  EXPECT_EQ(broken.value(), "none");
  EXPECT_THAT(Lines(), testing::IsSupersetOf(
                           {"3:Error. CryptDecrypt() returns '-2146893819'.",
                            "2:Can not decrypt gotten value Password - error -2146893819. Use "
                            "default value."}));
}

TEST_F(ItemTest, RefusedAndFailedWritesStayChangedWithTheirError) {
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kInt, 1), 0);
  ASSERT_EQ(policy::VmpSetPolicyStringW(session_, kText, u"t"), 0);
  ASSERT_EQ(Restrict(kInt, policy::kRestrictFinal), 0u);
  ASSERT_EQ(Restrict(kText, policy::kRestrictHidden), 0u);
  settings::CIntItem number(kInt, 0);
  settings::CStringItem text(kText, "");
  bool hidden = true, final = false;
  EXPECT_FALSE(number.GetRestriction(&hidden, &final));
  EXPECT_TRUE(!hidden && final);
  EXPECT_FALSE(text.GetRestriction(&hidden, &final));
  EXPECT_TRUE(hidden && !final);

  // A refused write keeps the setting changed for the next commit.
  number.Set(2);
  EXPECT_FALSE(number.Write());
  EXPECT_EQ(module::State().last_error.load(), settings::kLastErrorRefused);
  EXPECT_TRUE(number.IsChanged());
  EXPECT_THAT(Lines(),
              Contains("1:Policy var have final or hidden attribute and cannot be saved."));
  text.Set("u");
  EXPECT_FALSE(text.Write());
  EXPECT_EQ(PolicyText(kText), u"t");

  // The agent keeps a variable's type: an integer written over a string fails.
  ASSERT_EQ(Restrict(kText, 0), 0u);
  settings::CIntItem mistyped(kText, 4);
  EXPECT_EQ(mistyped.value(), 4);
  mistyped.Set(5);
  EXPECT_FALSE(mistyped.Write());
  EXPECT_EQ(module::State().last_error.load(), settings::kLastErrorFailed);
  EXPECT_TRUE(mistyped.IsChanged());
  EXPECT_THAT(Lines(), Contains("3:Can not set policy var " + std::string(kText) + " - error " +
                                std::to_string(wire::kStatusTypeMismatch)));

  // An agent out of reach counts as final: the commit is refused at once and the setting
  // stays changed; with the agent back the next commit writes it.
  ASSERT_EQ(root_.Stop(SIGKILL), 128 + SIGKILL);
  number.Set(3);
  EXPECT_FALSE(number.Write());
  EXPECT_EQ(module::State().last_error.load(), settings::kLastErrorRefused);
  EXPECT_TRUE(number.IsChanged());
  ASSERT_TRUE(root_.Start()) << root_.log();
  EXPECT_EQ(PolicyText(kText), u"t");  // what the agent acknowledged outlived the SIGKILL
  ASSERT_EQ(Restrict(kInt, 0), 0u);
  EXPECT_TRUE(number.Write());
  EXPECT_FALSE(number.IsChanged());
  int32_t stored = 0;
  EXPECT_EQ(policy::VmpGetPolicyInt(session_, kInt, &stored, 0), 0);
  EXPECT_EQ(stored, 3);
}

TEST_F(ItemTest, RegistryValuesOfAnotherTypeGiveTheDefault) {
  platform::Hive& hive = platform::LocalMachine();
  hive.SetValue(key_, "Count", platform::kRegSz, "7", 2);
  settings::CIntRegItem count(key_, "Count", 3);
  EXPECT_EQ(count.value(), 3);
  settings::CStringRegItem missing(key_, "Name", "dflt", false);
  const uint32_t dword = 9;
  hive.SetValue(key_, "Number", platform::kRegDword, &dword, 4);
  settings::CStringRegItem number(key_, "Number", "dflt", false);
  EXPECT_EQ(number.value(), "dflt");
  EXPECT_THAT(Lines(), testing::IsSupersetOf(
                           {"2:Can not get registry var Count - error 0. Use default value.",
                            "2:Can not get registry var Name - error 2. Use default value.",
                            "2:Can not get registry var Number - error 0. Use default value."}));

  // Plain strings are stored as given, line breaks and all, without a terminator.
  missing.Set("a\r\nb");
  ASSERT_TRUE(missing.Write());
  EXPECT_EQ(Stored("Name").type, platform::kRegSz);
  EXPECT_EQ(Stored("Name").data, "a\r\nb");
  EXPECT_EQ(settings::CStringRegItem(key_, "Name", "", false).value(), "a\r\nb");
  EXPECT_THAT(Lines(),
              testing::IsSupersetOf(Strings{std::string("1:CStringRegItem::Write(Name,a\r\nb)"),
                                            std::string("1:RegKey: Name (a\r\nb)")}));
}

TEST_F(ItemTest, DemoModeLeavesThePolicyAloneButNotTheRegistry) {
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kInt, 1), 0);
  ASSERT_EQ(Restrict(kInt, policy::kRestrictFinal), 0u);
  module::State().demo_mode = 1;
  settings::CIntItem number(kInt, 3);
  EXPECT_EQ(number.value(), 3);
  bool hidden = false, final = false;
  EXPECT_TRUE(number.GetRestriction(&hidden, &final));
  EXPECT_FALSE(hidden || final);
  number.Set(4);
  EXPECT_TRUE(number.Write());
  EXPECT_EQ(module::State().last_error.load(), 0);
  EXPECT_THAT(Lines(), Not(Contains(testing::HasSubstr("policy var"))));

  settings::CIntRegItem count(key_, "Count", 3);
  count.Set(8);
  ASSERT_TRUE(count.Write());
  EXPECT_EQ(settings::CIntRegItem(key_, "Count", 3).value(), 8);
  EXPECT_THAT(Lines(), Contains("1:registry var Count = 8"));
  module::State().demo_mode = 0;
  int32_t stored = 0;
  EXPECT_EQ(policy::VmpGetPolicyInt(session_, kInt, &stored, 0), 0);
  EXPECT_EQ(stored, 1);
}

}  // namespace
