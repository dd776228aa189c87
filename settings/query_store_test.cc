// The query store under concurrent writers and readers: whole lists or nothing. What a page
// sees of it (replacing, looking up, dropping by tag) is checked through PHP in
// tests/phpt/settings_frame.phpt.
#include "settings/query_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using settings::QueryStore;
using Strings = std::vector<std::string>;

// Writers replace whole lists and free tags while readers copy them out: a reader sees a
// complete list of one writer or nothing, never a mixture, and what it held is kept in front.
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
        Strings out{"kept"};
        const QueryStore::Found found = store.Get("t", "i", &out);
        if (found != QueryStore::Found::kYes) {
          if (out != Strings{"kept"}) ++torn;
          continue;
        }
        if (out.size() != 51 || out.front() != "kept") ++torn;
        for (size_t i = 1; i < out.size(); ++i) {
          if (out[i] != out[1]) ++torn;
        }
      }
    });
  }
  for (int w = 0; w < 3; ++w) threads[w].join();
  stop = true;
  for (size_t r = 3; r < threads.size(); ++r) threads[r].join();
  EXPECT_EQ(torn.load(), 0);
}

// The store holds at most kMaxQueryStoreBytes of tags, ids and strings: a list that would go
// beyond is refused and changes nothing; a replaced list and a dropped tag give their bytes
// back.
TEST(QueryStoreTest, HoldsAtMostItsBound) {
  QueryStore store;
  const size_t names = 2;  // tag "t" and id "i"
  const std::string whole(settings::kMaxQueryStoreBytes - names, 'x');
  Strings out;
  EXPECT_FALSE(store.Set("t", "i", Strings{whole, "y"}));
  EXPECT_EQ(store.Get("t", "i", &out), QueryStore::Found::kNoTag);
  ASSERT_TRUE(store.Set("t", "i", Strings{whole}));
  EXPECT_FALSE(store.Set("t", "j", Strings{}));        // its id's one byte is too many
  EXPECT_TRUE(store.Set("t", "i", Strings{"small"}));  // replacing gives the bytes back
  EXPECT_TRUE(store.Set("u", "j", Strings{whole.substr(names + 5)}));
  EXPECT_FALSE(store.Set("v", "k", Strings{}));
  EXPECT_TRUE(store.Free("u"));
  EXPECT_TRUE(store.Set("v", "k", Strings{whole.substr(names + 5 + names)}));
  EXPECT_EQ(store.Get("t", "i", &out), QueryStore::Found::kYes);
  EXPECT_EQ(out, Strings{"small"});
}

}  // namespace
