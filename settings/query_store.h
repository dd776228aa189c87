// The query store: lists of strings kept between requests of the same process, filed under
// a tag and, within the tag, under an id.
//
// A new tag goes to the front of the store, a new id to the front of its tag; lookups walk
// from the front. Tags and ids are compared byte for byte. The store holds copies of
// everything it is given and knows nothing of PHP.
//
// Lifetime: one instance per process, made on first use and never destroyed, so no
// destructor of ours runs after the host has unloaded the module.
//
// Thread safety: every operation runs whole under the store's own lock. A stored list is
// never changed in place: Set files a new one, so a list handed out by Get stays whole and
// unchanged for as long as the caller holds it, whatever other threads do meanwhile.
#ifndef SETTINGS_QUERY_STORE_H_
#define SETTINGS_QUERY_STORE_H_

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

class QueryStore {
 public:
  enum class Found { kYes, kNoTag, kNoId };
  // A stored list, shared with the store; never changed once filed.
  using List = std::shared_ptr<const std::vector<std::string>>;

  // The process's store.
  static QueryStore& Instance();

  QueryStore() = default;
  QueryStore(const QueryStore&) = delete;
  QueryStore& operator=(const QueryStore&) = delete;

  // Replaces the list under `tag` and `id`, creating either when missing.
  void Set(std::string_view tag, std::string_view id, std::vector<std::string> values);
  // The list under `tag` and `id`, shared, without copying its strings (`out` is left alone
  // unless kYes).
  Found Get(std::string_view tag, std::string_view id, List* out) const;
  // Copies the list under `tag` and `id` to the end of `out` (left alone unless kYes).
  Found Get(std::string_view tag, std::string_view id, std::vector<std::string>* out) const;
  // Drops `tag` with every id under it; false when there is no such tag.
  bool Free(std::string_view tag);

 private:
  struct IdEntry {
    std::string id;
    List values;  // never null
  };
  struct TagEntry {
    std::string tag;
    std::list<IdEntry> ids;
  };

  mutable std::mutex mutex_;
  std::list<TagEntry> tags_;
};

}  // namespace settings

#endif  // SETTINGS_QUERY_STORE_H_
