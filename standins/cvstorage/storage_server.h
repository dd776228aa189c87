// The storage server's protocol on the service frame: each connection becomes one object of
// the mailbox or the public folder class (the connect message says which, see
// platform/local_server.h) with a cursor of its own over the server's current lists.
//
// Thread safety: Refresh, Current and NewSession may be called from any thread. The lists
// are an immutable snapshot replaced whole under snapshot_mutex_, so a walk keeps the
// snapshot it started on; a session belongs to its connection's thread.
#ifndef STANDINS_CVSTORAGE_STORAGE_SERVER_H_
#define STANDINS_CVSTORAGE_STORAGE_SERVER_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "standins/cvstorage/storage_sources.h"
#include "standins/service/service.h"

namespace cvstorage {

// The server's socket, under the machine root, in the servers' own folder.
inline constexpr const char* kStorageSocket = "run/cvstorage.sock";

// The two classes and their interfaces.
inline constexpr const char* kMailboxClass = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b768";
inline constexpr const char* kMailboxInterface = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b761";
inline constexpr const char* kPublicFolderClass = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b769";
inline constexpr const char* kPublicFolderInterface = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b762";

class StorageServer {
 public:
  struct Snapshot;

  // The lists are charged to `budget` for as long as a walk or the server holds them.
  // IsReady answers 0 until `ready_at`.
  StorageServer(service::MemoryBudget* budget, std::chrono::steady_clock::time_point ready_at);
  StorageServer(const StorageServer&) = delete;
  StorageServer& operator=(const StorageServer&) = delete;

  // Reads the `public_folders` list, or the mailbox list, again from the path the hive names
  // now, and returns its status; the other list stays as it was. 0x8007000E (and the list
  // stays as it was) when the budget cannot hold the new one beside what walks still hold.
  uint32_t Refresh(bool public_folders);
  std::shared_ptr<const Snapshot> Current();
  bool ready() const { return std::chrono::steady_clock::now() >= ready_at_; }

  // The protocol of one connection.
  std::unique_ptr<service::Session> NewSession();

 private:
  service::MemoryBudget* const budget_;
  const std::chrono::steady_clock::time_point ready_at_;
  std::mutex refresh_mutex_;  // one reading of the sources at a time; taken before snapshot_mutex_
  std::mutex snapshot_mutex_;
  std::shared_ptr<const Snapshot> snapshot_;  // guarded by snapshot_mutex_
};

}  // namespace cvstorage

#endif  // STANDINS_CVSTORAGE_STORAGE_SERVER_H_
