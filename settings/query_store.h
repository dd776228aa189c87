// The query store: lists of strings kept between requests of the same process, filed under
// a tag and, within the tag, under an id.
//
// A new tag goes to the front of the store, a new id to the front of its tag; lookups walk
// from the front. Tags and ids are compared byte for byte. The store holds copies of
// everything it is given and knows nothing of PHP. It holds at most kMaxQueryStoreBytes of
// tags, ids and strings: a Set that would go beyond is refused and changes nothing.
//
// Lifetime: one instance per process, made on first use and destroyed by ReleaseInstance
// (the core's last holder letting go at module shutdown, with no request running), so
// nothing of it outlives the module and no destructor of ours runs at process exit.
//
// Thread safety: every operation runs whole under the store's own lock. A stored list is
// never changed in place: Set files a new one, so a list handed out by Get stays whole and
// unchanged for as long as the caller holds it, whatever other threads do meanwhile.
#ifndef SETTINGS_QUERY_STORE_H_
#define SETTINGS_QUERY_STORE_H_

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

// What the process's query store holds at most: the bytes of its tags, ids and strings.
inline constexpr size_t kMaxQueryStoreBytes = size_t{64} << 20;

class QueryStore {
 public:
  enum class Found { kYes, kNoTag, kNoId };
  // A stored list, shared with the store; never changed once filed.
  using List = std::shared_ptr<const std::vector<std::string>>;

  // The process's store, made on first use.
  static QueryStore& Instance();
  // Destroys the process's store with everything in it; the next Instance() makes a new one.
  // Only with no other call of the store in progress or to come on the old instance.
  static void ReleaseInstance();

  QueryStore() = default;
  QueryStore(const QueryStore&) = delete;
  QueryStore& operator=(const QueryStore&) = delete;

  // Replaces the list under `tag` and `id`, creating either when missing. False, nothing
  // changed, when the store would then hold more than kMaxQueryStoreBytes.
  bool Set(std::string_view tag, std::string_view id, std::vector<std::string> values);
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
  size_t bytes_ = 0;  // of tags_, counted as kMaxQueryStoreBytes counts them
};

}  // namespace settings

#endif  // SETTINGS_QUERY_STORE_H_
