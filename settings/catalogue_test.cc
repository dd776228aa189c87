// The catalogue's answers for unknown OIDs and items of another kind, and its own
// serialisation: readers, a committer and a reloader at once (run it under TSan). Lookups
// through a full catalogue: definitions_test.cc and the .phpt suite.
#include "settings/catalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "module/module_state.h"
#include "platform/registry.h"
#include "policy/agent_test_support.h"
#include "support/trace.h"

using support::TraceShutdown;

namespace {

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Policy items stay away from the agent; registry items still work.
    module::State().demo_mode = 1;
    ASSERT_NO_FATAL_FAILURE(policy_test::TraceToFile(root_.root() + "/logs/trace.log"));
    platform::LocalMachine().CreateKey("SOFTWARE\\Test", platform::kKeyAllAccess, &key_);
  }
  void TearDown() override {
    TraceShutdown();
    module::State().demo_mode = 0;
  }
  // The trace's messages since the last call.
  std::vector<std::string> Messages() {
    return policy_test::TraceMessages(root_.root() + "/logs/trace.log", &seen_);
  }

  policy_test::Root root_{/*register_libraries=*/false};
  platform::RegistryKey key_;
  size_t seen_ = 0;
};

// Unknown OIDs and items of another kind: neutral answers and the not-found lines. A null
// entry is held and passed over.
TEST_F(CatalogueTest, UnknownOidsAndItemsOfAnotherKindAnswerAsUnknown) {
  settings::CSettings catalogue;
  catalogue.Add(std::make_unique<settings::CIntItem>("1.1", 1));
  catalogue.Add(nullptr);
  catalogue.Add(std::make_unique<settings::CStringItem>("1.2", "text"));
  catalogue.Add(std::make_unique<settings::CIntRegItem>(key_, "1.3", 7));
  EXPECT_EQ(catalogue.size(), 4u);
  Messages();
  EXPECT_EQ(catalogue.GetIntByOID("1.2"), 0);
  EXPECT_EQ(catalogue.GetStringByOID("1.1"), "");
  EXPECT_FALSE(catalogue.SetStringRegByOID("1.3", "x"));
  EXPECT_EQ(catalogue.GetIntRegByOID("9.9"), 0);
  EXPECT_EQ(catalogue.GetObjectByOID("9.9"), nullptr);
  bool hidden = true, final = true;
  EXPECT_TRUE(catalogue.GetRestrictionByOID("9.9", &hidden, &final, false));
  EXPECT_FALSE(hidden || final);
  catalogue.ReadByOID("9.9");  // writes nothing
  EXPECT_THAT(Messages(), testing::ElementsAre(
                              "GetIntByOID *** Setting '1.2' not found***",
                              "GetStringByOID OID 1.1 not found", "SetStringRegByOID 1.3 not found",
                              "*** Setting '9.9' not found***", "GetObjectByOID OID 9.9 not found",
                              "GetRestrictionByOID OID 9.9 not found"));
}

TEST_F(CatalogueTest, ReadersCommitterAndReloaderRunTogether) {
  settings::CSettings catalogue;
  for (int i = 0; i < 50; ++i) {
    catalogue.Add(std::make_unique<settings::CIntRegItem>(key_, "2." + std::to_string(i), i));
    catalogue.Add(std::make_unique<settings::CStringItem>("3." + std::to_string(i), "s"));
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int reader = 0; reader < 4; ++reader) {
    threads.emplace_back([&] {
      while (!stop) {
        for (int i = 0; i < 50; ++i) {
          catalogue.GetIntRegByOID("2." + std::to_string(i));
          catalogue.GetStringByOID("3." + std::to_string(i));
        }
        catalogue.AreChanged();
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 20; ++round) {
      catalogue.SetIntRegByOID("2." + std::to_string(round), 100 + round);
      catalogue.SetStringByOID("3." + std::to_string(round), "t");
      catalogue.WriteChanged();
      catalogue.ReadAll();
    }
  });
  threads.emplace_back([&] {
    for (int round = 0; round < 200; ++round) catalogue.ReadByOID("2." + std::to_string(round % 50));
  });
  threads[5].join();
  threads[4].join();
  stop = true;
  for (int i = 0; i < 4; ++i) threads[i].join();
  // A reload may overtake a change that was not yet committed; after the last commit and
  // re-read, memory and the registry agree.
  catalogue.WriteChanged();
  catalogue.ReadAll();
  for (int i = 0; i < 50; ++i) {
    const std::string oid = "2." + std::to_string(i);
    int32_t stored = i;  // never written: the default
    uint32_t size = 4;
    platform::LocalMachine().QueryValue(key_, oid, nullptr, &stored, &size);
    EXPECT_EQ(catalogue.GetIntRegByOID(oid), stored) << oid;
    EXPECT_TRUE(stored == i || (i < 20 && stored == 100 + i)) << oid;
  }
}

}  // namespace
