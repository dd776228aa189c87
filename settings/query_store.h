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
// Thread safety: every operation runs whole under the store's own lock, so a reader never
// sees a list while another thread replaces or removes it.
#ifndef SETTINGS_QUERY_STORE_H_
#define SETTINGS_QUERY_STORE_H_

#include <list>
#include <mutex>
#include <string>
#include <vector>

namespace settings {

class QueryStore {
 public:
  enum class Found { kYes, kNoTag, kNoId };

  // The process's store.
  static QueryStore& Instance();

  QueryStore() = default;
  QueryStore(const QueryStore&) = delete;
  QueryStore& operator=(const QueryStore&) = delete;

  // Replaces the list under `tag` and `id`, creating either when missing.
  void Set(const std::string& tag, const std::string& id, std::vector<std::string> values);
  // Copies the list under `tag` and `id` to the end of `out` (left alone unless kYes).
  Found Get(const std::string& tag, const std::string& id, std::vector<std::string>* out) const;
  // Drops `tag` with every id under it; false when there is no such tag.
  bool Free(const std::string& tag);

 private:
  struct IdEntry {
    std::string id;
    std::vector<std::string> values;
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
