// The process set-up and shutdown against the real agent, with the host's session block
// made by the test, and their trace read back from the log file.
#include "module/lifecycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "module/module_state.h"
#include "module/shared_blocks.h"
#include "platform/registry.h"
#include "platform/named_blocks.h"
#include "policy/agent_test_support.h"
#include "policy/policy_access.h"
#include "settings/catalogue.h"
#include "settings/item.h"
#include "support/trace.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Strings = std::vector<std::string>;

constexpr char kReloaded[] = "1.3.6.1.4.1.8642.18.2.1";

// An address as trace lines show it, and with `digits` 8 as the information page does.
std::string Hex(const void* address, int digits = 0) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*" PRIXPTR, digits, reinterpret_cast<uintptr_t>(address));
  return text;
}

// On the agent fixture, but with no session handed to the module: the module takes it from
// the host's block.
class LifecycleTest : public policy_test::AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    module::State().session_cell.store(nullptr);
  }
  void TearDown() override {
    module::Mshutdown();
    module::State().session_view = nullptr;
    session_block_.Release();
    AgentTest::TearDown();
    EXPECT_EQ(CvBlockCount(), 0u);  // nothing left behind by the module
  }

  // Another component's part: the block `name` with `word` in word 0.
  static void CreateBlock(const char* name, uintptr_t word, platform::NamedBlock* block) {
    ASSERT_EQ(platform::NamedBlock::Create(name, sizeof word, block, nullptr), 0u);
    block->WriteWord(word);
  }
  // The host's part: the session block, word 0 holding the address of the session cell.
  void CreateSessionBlock() {
    CreateBlock(module::kSessionBlock, reinterpret_cast<uintptr_t>(&session_), &session_block_);
  }

  // Module shutdown, which ends the trace with the process core, and the next start-up's
  // trace.
  void Restart() {
    module::Mshutdown();
    ASSERT_NO_FATAL_FAILURE(policy_test::TraceToFile(log_));
  }

  // The messages written since the last call.
  Strings Messages() { return policy_test::TraceMessages(log_, &seen_); }
  static Strings Matching(Strings messages, const std::string& start) {
    std::erase_if(messages, [&](const std::string& line) { return !line.starts_with(start); });
    return messages;
  }

  platform::NamedBlock session_block_;
  size_t seen_ = 0;
};

// --- The first request sets up, later ones only note it ------------------------------------

// Two first requests at once: one sets up, the other only notes it, and so do later ones.
TEST_F(LifecycleTest, FirstRequestsSetUpOnceAndLaterOnesOnlySayAlreadyInitialized) {
  CreateSessionBlock();
  auto request = [] {
    module::Rinit();
    module::Rshutdown();
  };
  std::thread first(request), second(request);
  first.join();
  second.join();
  module::ModuleState& state = module::State();
  EXPECT_EQ(state.initialised.load(), 1);
  EXPECT_NE(state.session_view, nullptr);
  EXPECT_EQ(state.session_cell.load(), &session_);
  settings::CSettings* catalogue = module::CurrentCatalogue().get();
  ASSERT_NE(catalogue, nullptr);

  const Strings messages = Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "rinit()");
  EXPECT_EQ(Matching(messages, "rinit()").size(), 2u);
  EXPECT_EQ(Matching(messages, "rshutdown()").size(), 2u);
  EXPECT_EQ(Matching(messages, "Already initialized").size(), 1u);
  const Strings session_lines = Matching(messages, "$cvma_session4php file:");
  ASSERT_EQ(session_lines.size(), 1u);
  EXPECT_THAT(session_lines[0], HasSubstr(", address = " + Hex(state.session_view)));
  char shown[32];
  module::FormatSessionViewAddress(shown, sizeof shown);
  EXPECT_EQ(shown, Hex(state.session_view, 8));
  // Neither product: the two subtrees every machine has (their lines and no parser block:
  // tests/phpt/start_up.phpt), now registered.
  EXPECT_EQ(Matching(messages, "Registration to PQH complete").size(), 2u);
  EXPECT_EQ(Matching(messages, "$settings_reloading_4cvwwwui file:").size(), 1u);

  module::Rinit();
  EXPECT_THAT(Messages(), ElementsAre("rinit()", "Already initialized"));
  EXPECT_EQ(module::RequestCatalogue(), catalogue);
  module::Rshutdown();
  EXPECT_EQ(module::RequestCatalogue(), nullptr);
}

// The parser block is taken when there is one; without it the set-up says so and goes on.
// Demo Mode registers nothing.
TEST_F(LifecycleTest, ProductsRegisterTheirSubtreesInOrderOutsideDemoModeAndTheParserIsTaken) {
  policy_test::InstallMailProduct();
  policy_test::InstallServerProduct();
  CreateSessionBlock();
  int parser_object = 0;
  platform::NamedBlock parser;
  CreateBlock(module::kParserBlock, reinterpret_cast<uintptr_t>(&parser_object), &parser);

  module::Rinit();
  EXPECT_EQ(module::State().mail_store_parser.load(), &parser_object);
  const Strings messages = Messages();
  const Strings parser_lines = Matching(messages, "$mail_store_parser4php file:");
  ASSERT_EQ(parser_lines.size(), 1u);
  EXPECT_THAT(parser_lines[0], HasSubstr(", mailstoreparser = " + Hex(&parser_object)));
  EXPECT_THAT(Matching(messages, "oid="),
              ElementsAre("oid=1.3.6.1.4.1.8642.18.1.*", "oid=1.3.6.1.4.1.8642.20.1.*",
                          "oid=1.3.6.1.4.1.8642.12.1.*", "oid=1.3.6.1.4.1.8642.38.1.*",
                          "oid=1.3.6.1.4.1.8642.53.1.*", "oid=1.3.6.1.4.1.8642.53.4.*",
                          "oid=1.3.6.1.4.1.8642.61.1.*", "oid=1.3.6.1.4.1.8642.61.4.*",
                          "oid=1.3.6.1.4.1.8642.57.1.*", "oid=1.3.6.1.4.1.8642.42.1.*",
                          "oid=1.3.6.1.4.1.8642.11.1.*"));

  Restart();
  EXPECT_EQ(module::State().mail_store_parser.load(), nullptr);
  EXPECT_EQ(parser.ReadWord(), reinterpret_cast<uintptr_t>(&parser_object));  // not ours
  parser.Release();
  module::Rinit();
  EXPECT_EQ(module::State().initialised.load(), 1);
  EXPECT_EQ(module::State().mail_store_parser.load(), nullptr);
  EXPECT_THAT(Messages(), Contains("failed to open $mail_store_parser4php file"));

  Restart();
  module::State().demo_mode = 1;
  module::Rinit();
  EXPECT_EQ(module::State().initialised.load(), 1);
  EXPECT_NE(module::CurrentCatalogue(), nullptr);
  const Strings demo = Messages();
  EXPECT_THAT(Matching(demo, "checkInPQH()"), ElementsAre());
  EXPECT_EQ(Matching(demo, "$settings_reloading_4cvwwwui file:").size(), 1u);
}

// --- Without the host's session block ------------------------------------------------------

// The lines of the first such request: tests/phpt/start_up.phpt.
TEST_F(LifecycleTest, WithoutSessionBlockEveryRequestRepeatsTheSetUp) {
  module::Rinit();
  module::ModuleState& state = module::State();
  EXPECT_EQ(state.initialised.load(), 0);
  EXPECT_EQ(state.session_view, nullptr);
  EXPECT_EQ(state.session_cell.load(), nullptr);
  // Made all the same, with no session, and held by this request.
  settings::CSettings* first = module::RequestCatalogue();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(module::CurrentCatalogue().get(), first);
  EXPECT_THAT(Messages(), Contains("$cvma_session4php file: handle = 0, address = 0"));

  // Another request's repeated set-up replaces it; this request keeps reading the one it
  // started with, which lives until this request ends.
  std::thread([] { module::Rinit(); module::Rshutdown(); }).join();
  EXPECT_NE(module::CurrentCatalogue().get(), first);
  EXPECT_EQ(module::RequestCatalogue(), first);
  EXPECT_EQ(first->size(), module::CurrentCatalogue()->size());  // still whole
  module::Rshutdown();
  EXPECT_EQ(module::RequestCatalogue(), nullptr);
  Messages();

  module::Rinit();
  const Strings messages = Messages();
  EXPECT_THAT(messages, Not(Contains("Already initialized")));
  EXPECT_EQ(Matching(messages, "$cvma_session4php file:").size(), 1u);
  EXPECT_EQ(Matching(messages, "oid=").size(), 2u);
  EXPECT_EQ(Matching(messages, "$settings_reloading_4cvwwwui file:").size(), 1u);
  EXPECT_EQ(state.initialised.load(), 0);

  // Shutdown without a finished set-up releases what the attempts made.
  module::Rshutdown();
  module::Mshutdown();
  EXPECT_EQ(module::CurrentCatalogue(), nullptr);
  platform::NamedBlock reload;
  EXPECT_EQ(platform::NamedBlock::Open(module::kReloadBlock, false, &reload), 2u);

  // Once the host has made its block, the next request completes the set-up.
  CreateSessionBlock();
  module::Rinit();
  EXPECT_EQ(state.initialised.load(), 1);
  EXPECT_EQ(state.session_cell.load(), &session_);
}

// Requests on several threads while every start-up replaces the catalogue (no session
// block yet): each reads the catalogue it started with, never one freed under it (the
// sanitizer builds catch a read of a freed one).
TEST_F(LifecycleTest, RequestsKeepTheirCatalogueWhileOthersReplaceIt) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        module::Rinit();
        settings::CSettings* catalogue = module::RequestCatalogue();
        ASSERT_NE(catalogue, nullptr);
        catalogue->Add(std::make_unique<settings::CIntItem>(kReloaded, 5));
        for (int k = 0; k < 20; ++k) EXPECT_EQ(catalogue->GetIntByOID(kReloaded), 5);
        module::Rshutdown();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(module::State().initialised.load(), 0);
}

// --- The reload entry and shutdown ---------------------------------------------------------

TEST_F(LifecycleTest, ReloadBlockPublishesTheEntryThatReReadsOneSettingUntilShutdown) {
  // A block another component of the process made is opened, and word 0 overwritten.
  platform::NamedBlock other;
  CreateBlock(module::kReloadBlock, 1, &other);
  CreateSessionBlock();
  module::Rinit();

  platform::NamedBlock reload;
  ASSERT_EQ(platform::NamedBlock::Open(module::kReloadBlock, false, &reload), 0u);
  const uintptr_t word = reload.ReadWord();
  EXPECT_EQ(word, reinterpret_cast<uintptr_t>(&module::LoadChangedSetting));
  const Strings lines = Matching(Messages(), "$settings_reloading_4cvwwwui file:");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("address content = " + std::to_string(word)));

  settings::CSettings* catalogue = module::RequestCatalogue();
  ASSERT_NE(catalogue, nullptr);
  catalogue->Add(std::make_unique<settings::CIntItem>(kReloaded, 5));
  ASSERT_EQ(policy::VmpSetPolicyInt(session_, kReloaded, 77), 0);
  EXPECT_EQ(catalogue->GetIntByOID(kReloaded), 5);  // not yet read again

  const auto entry = reinterpret_cast<module::ReloadEntry>(word);
  entry("1.3.6.1.4.1.8642.18.2.99");  // no item has it
  EXPECT_EQ(catalogue->GetIntByOID(kReloaded), 5);
  entry(kReloaded);
  EXPECT_EQ(catalogue->GetIntByOID(kReloaded), 77);
  EXPECT_EQ(Matching(Messages(), "LoadChangedSetting()").size(), 2u);

  // Shutdown releases the module's own handles and views only: the blocks others hold stay,
  // the reload block with the entry in word 0.
  module::Rshutdown();
  module::Mshutdown();
  module::ModuleState& state = module::State();
  EXPECT_EQ(state.initialised.load(), 0);
  EXPECT_EQ(module::CurrentCatalogue(), nullptr);
  EXPECT_EQ(state.session_view, nullptr);
  EXPECT_EQ(state.session_cell.load(), nullptr);
  platform::NamedBlock block;
  EXPECT_EQ(platform::NamedBlock::Open(module::kSessionBlock, false, &block), 0u);
  EXPECT_EQ(other.ReadWord(), word);
  other.Release();
  reload.Release();
  EXPECT_EQ(platform::NamedBlock::Open(module::kReloadBlock, false, &block), 2u);
  EXPECT_THAT(Messages(), Contains("mshutdown()"));
  entry(kReloaded);  // no catalogue: nothing to do
  module::Rinit();
  EXPECT_EQ(state.initialised.load(), 1);
}

}  // namespace
