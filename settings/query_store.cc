#include "settings/query_store.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

namespace settings {

namespace {

template <typename Entries, typename Key>
auto FindEntry(Entries& entries, Key key) {
  return std::find_if(entries.begin(), entries.end(), key);
}

// The process's store: made by the first Instance(), destroyed by ReleaseInstance().
std::atomic<QueryStore*> g_instance{nullptr};
std::mutex g_instance_lock;

size_t ListBytes(const std::vector<std::string>& values) {
  size_t bytes = 0;
  for (const std::string& value : values) bytes += value.size();
  return bytes;
}

}  // namespace

QueryStore& QueryStore::Instance() {
  if (QueryStore* store = g_instance.load(std::memory_order_acquire)) return *store;
  std::lock_guard lock(g_instance_lock);
  QueryStore* store = g_instance.load(std::memory_order_relaxed);
  if (store == nullptr) {
    store = new QueryStore;
    g_instance.store(store, std::memory_order_release);
  }
  return *store;
}

void QueryStore::ReleaseInstance() {
  std::lock_guard lock(g_instance_lock);
  delete g_instance.exchange(nullptr, std::memory_order_acq_rel);
}

bool QueryStore::Set(std::string_view tag, std::string_view id, std::vector<std::string> values) {
  const size_t added = ListBytes(values);
  // Made before the lock is taken; the list it replaces is released after it is dropped.
  List list = std::make_shared<const std::vector<std::string>>(std::move(values));
  std::lock_guard lock(mutex_);
  auto t = FindEntry(tags_, [&](const TagEntry& e) { return e.tag == tag; });
  auto i = t == tags_.end() ? std::list<IdEntry>::iterator()
                            : FindEntry(t->ids, [&](const IdEntry& e) { return e.id == id; });
  const bool new_id = t == tags_.end() || i == t->ids.end();
  const size_t kept = bytes_ - (new_id ? 0 : ListBytes(*i->values));
  const size_t names = (t == tags_.end() ? tag.size() : 0) + (new_id ? id.size() : 0);
  if (added > kMaxQueryStoreBytes || names + added > kMaxQueryStoreBytes - kept) return false;
  if (t == tags_.end()) t = tags_.insert(tags_.begin(), TagEntry{std::string(tag), {}});
  if (new_id) i = t->ids.insert(t->ids.begin(), IdEntry{std::string(id), {}});
  i->values.swap(list);
  bytes_ = kept + names + added;
  return true;
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
  size_t bytes = t->tag.size();
  for (const IdEntry& entry : t->ids) bytes += entry.id.size() + ListBytes(*entry.values);
  bytes_ -= bytes;
  dropped.splice(dropped.begin(), tags_, t);
  return true;
}

}  // namespace settings
