#include "settings/query_store.h"

#include <algorithm>
#include <utility>

namespace settings {

namespace {

template <typename Entries, typename Key>
auto FindEntry(Entries& entries, Key key) {
  return std::find_if(entries.begin(), entries.end(), key);
}

}  // namespace

QueryStore& QueryStore::Instance() {
  // Deliberately leaked: the store must outlive every request, and no destructor may run
  // at process exit after the module has been unloaded.
  static QueryStore* const store = new QueryStore;
  return *store;
}

void QueryStore::Set(const std::string& tag, const std::string& id,
                     std::vector<std::string> values) {
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  if (t == tags_.end()) t = tags_.insert(tags_.begin(), TagEntry{tag, {}});
  auto i = FindEntry(t->ids, [&](const IdEntry& e) { return e.id == id; });
  if (i == t->ids.end()) i = t->ids.insert(t->ids.begin(), IdEntry{id, {}});
  i->values = std::move(values);
}

QueryStore::Found QueryStore::Get(const std::string& tag, const std::string& id,
                                  std::vector<std::string>* out) const {
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  if (t == tags_.end()) return Found::kNoTag;
  auto i = FindEntry(t->ids, [&](const IdEntry& e) { return e.id == id; });
  if (i == t->ids.end()) return Found::kNoId;
  out->insert(out->end(), i->values.begin(), i->values.end());
  return Found::kYes;
}

bool QueryStore::Free(const std::string& tag) {
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  if (t == tags_.end()) return false;
  tags_.erase(t);
  return true;
}

}  // namespace settings
