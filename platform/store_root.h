// What the store provider needs of the system: the public folder root held open while a
// connection serves it, its time stamps, its folder directories, and one folder directory
// checked and read. store_provider_common.cc holds the provider itself (the objects, the
// URLs, the query, the index and when it is built again, the mailboxes, the address's text);
// each system's file (store_provider_posix.cc, store_provider_windows.cc) implements the
// calls below and nothing else. Internal to the port: nothing outside those files includes
// it.
//
// Thread safety: a StoreRoot is used by one thread at a time (its connection's).
#ifndef PLATFORM_STORE_ROOT_H_
#define PLATFORM_STORE_ROOT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {
namespace store {

// The two files of a folder's directory that mean something (see store_provider.h).
inline constexpr char kRemoteMarkFile[] = "remote-server";
inline constexpr char kEmailAddressFile[] = "email-address";
// A folder's address file larger than this is not read (no address).
inline constexpr size_t kMaxEmailAddressFileBytes = 4096;

// The root's time stamps at one look, and the clock's then, in the system's units; and
// which directory the root is (its volume and its number there), which stays the same
// while it is open.
struct RootStamp {
  int64_t modified = 0;
  int64_t changed = 0;
  int64_t now = 0;
  int64_t per_second = 1;  // units in a second
  uint64_t volume = 0;
  uint64_t node = 0;
};

// The public folder root of one connection.
class StoreRoot {
 public:
  virtual ~StoreRoot() = default;

  // Opens the root `path` (OpenPublicFolderRoot), trusted as the machine root's accounts
  // are now: 0, or the failure.
  virtual uint32_t Open(const std::string& path) = 0;

  // Checks the open root is still trusted and gives its stamps: 0, kStoreEAccessDenied, or
  // the failure.
  virtual uint32_t Look(RootStamp* stamp) = 0;

  // The root's folder directories (ListFolderDirectories, nothing noted).
  virtual uint32_t List(std::vector<std::string>* keys) = 0;

  // Opens the folder directory `entry` (".A.B") of the root: 0; kStoreEAccessDenied for a
  // link, a file or a folder that is not trusted; kExEFolderOnOtherServer when it carries
  // the remote mark; or the failure. With `address`, the bytes of its address file too
  // (empty when it has none that is served and within kMaxEmailAddressFileBytes); without,
  // the folder need not be opened where its status tells enough.
  virtual uint32_t OpenFolder(std::string entry, std::string* address) = 0;
};

// A closed root of this system's kind; null when out of memory.
std::unique_ptr<StoreRoot> MakeStoreRoot();

}  // namespace store
}  // namespace platform

#endif  // PLATFORM_STORE_ROOT_H_
