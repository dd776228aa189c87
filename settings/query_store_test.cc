// The query store: replacing, looking up and dropping lists, and whole-list consistency
// under concurrent writers and readers.
#include "settings/query_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using settings::QueryStore;
using Found = QueryStore::Found;
using Strings = std::vector<std::string>;

Strings Get(const QueryStore& store, const std::string& tag, const std::string& id,
            Found expected = Found::kYes) {
  Strings out;
  EXPECT_EQ(store.Get(tag, id, &out), expected) << tag << "/" << id;
  return out;
}

TEST(QueryStoreTest, EmptyListIsStoredAndFound) {
  QueryStore store;
  store.Set("t", "i", {});
  EXPECT_TRUE(Get(store, "t", "i").empty());
}

TEST(QueryStoreTest, SetReplacesOnlyItsOwnId) {
  QueryStore store;
  store.Set("t", "a", {"1", "2", "3"});
  store.Set("t", "b", {"x"});
  store.Set("t", "a", {"4"});
  EXPECT_EQ(Get(store, "t", "a"), Strings{"4"});
  EXPECT_EQ(Get(store, "t", "b"), Strings{"x"});
}

TEST(QueryStoreTest, GetAppendsAndLeavesTheListStored) {
  QueryStore store;
  store.Set("t", "i", {"a", std::string("b\0c", 3)});
  Strings out{"kept"};
  ASSERT_EQ(store.Get("t", "i", &out), Found::kYes);
  EXPECT_EQ(out, (Strings{"kept", "a", std::string("b\0c", 3)}));
  EXPECT_EQ(Get(store, "t", "i").size(), 2u);
}

TEST(QueryStoreTest, MissingTagOrIdIsToldApartAndLeavesOutAlone) {
  QueryStore store;
  store.Set("t", "i", {"v"});
  Strings out{"kept"};
  EXPECT_EQ(store.Get("u", "i", &out), Found::kNoTag);
  EXPECT_EQ(store.Get("t", "j", &out), Found::kNoId);
  EXPECT_EQ(out, Strings{"kept"});
}

TEST(QueryStoreTest, TagsAndIdsAreCaseSensitive) {
  QueryStore store;
  store.Set("Tag", "Id", {"upper"});
  store.Set("tag", "Id", {"lower"});
  EXPECT_EQ(Get(store, "Tag", "Id"), Strings{"upper"});
  EXPECT_EQ(Get(store, "tag", "Id"), Strings{"lower"});
  Get(store, "Tag", "id", Found::kNoId);
}

TEST(QueryStoreTest, FreeDropsTheTagWithAllItsIds) {
  QueryStore store;
  store.Set("t", "a", {"1"});
  store.Set("t", "b", {"2"});
  store.Set("other", "a", {"3"});
  EXPECT_TRUE(store.Free("t"));
  EXPECT_FALSE(store.Free("t"));
  Get(store, "t", "a", Found::kNoTag);
  EXPECT_EQ(Get(store, "other", "a"), Strings{"3"});
  // A tag stored again starts empty: its old ids are gone.
  store.Set("t", "b", {"new"});
  Get(store, "t", "a", Found::kNoId);
  EXPECT_EQ(Get(store, "t", "b"), Strings{"new"});
}

TEST(QueryStoreTest, InstanceIsOneProcessWideStore) {
  QueryStore::Instance().Set("query_store_test", "i", {"v"});
  EXPECT_EQ(&QueryStore::Instance(), &QueryStore::Instance());
  EXPECT_EQ(Get(QueryStore::Instance(), "query_store_test", "i"), Strings{"v"});
  EXPECT_TRUE(QueryStore::Instance().Free("query_store_test"));
}

// Writers replace whole lists and free tags while readers copy them out: a reader sees a
// complete list of one writer or nothing, never a mixture.
TEST(QueryStoreTest, ConcurrentReadersSeeWholeLists) {
  QueryStore store;
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      const std::string mark(1, static_cast<char>('a' + w));
      for (int n = 0; n < 3000; ++n) {
        store.Set("t", "i", Strings(50, mark));
        if (n % 100 == 0) store.Free("t");
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        Strings out;
        if (store.Get("t", "i", &out) != Found::kYes) continue;
        if (out.size() != 50) ++torn;
        for (const std::string& s : out) {
          if (s != out.front()) ++torn;
        }
      }
    });
  }
  for (int w = 0; w < 3; ++w) threads[w].join();
  stop = true;
  for (size_t r = 3; r < threads.size(); ++r) threads[r].join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
