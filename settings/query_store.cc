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

void QueryStore::Set(std::string_view tag, std::string_view id,
                     std::vector<std::string> values) {
  // Made before the lock is taken; the list it replaces is released after it is dropped.
  List list = std::make_shared<const std::vector<std::string>>(std::move(values));
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  if (t == tags_.end()) t = tags_.insert(tags_.begin(), TagEntry{std::string(tag), {}});
  auto i = FindEntry(t->ids, [&](const IdEntry& e) { return e.id == id; });
  if (i == t->ids.end()) i = t->ids.insert(t->ids.begin(), IdEntry{std::string(id), {}});
  i->values.swap(list);
}

QueryStore::Found QueryStore::Get(std::string_view tag, std::string_view id, List* out) const {
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  if (t == tags_.end()) return Found::kNoTag;
  auto i = FindEntry(t->ids, [&](const IdEntry& e) { return e.id == id; });
  if (i == t->ids.end()) return Found::kNoId;
  *out = i->values;
  return Found::kYes;
}

QueryStore::Found QueryStore::Get(std::string_view tag, std::string_view id,
                                  std::vector<std::string>* out) const {
  List list;
  const Found found = Get(tag, id, &list);
  if (found == Found::kYes) out->insert(out->end(), list->begin(), list->end());
  return found;
}

bool QueryStore::Free(std::string_view tag) {
  std::list<TagEntry> dropped;  // released after the lock is
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  if (t == tags_.end()) return false;
  dropped.splice(dropped.begin(), tags_, t);
  return true;
}

}  // namespace settings
