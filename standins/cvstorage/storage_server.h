// The storage server's socket: each admitted connection becomes one object of the mailbox
// or the public folder class (the connect message says which, see platform/local_server.h)
// with a cursor of its own over the server's current lists, served on a thread of its own.
//
// Thread safety: Listen and Run are called by one thread (the main thread); Refresh may be
// called from any thread. The lists are an immutable snapshot replaced whole under
// snapshot_mutex_, so a walk keeps the snapshot it started on; the connection list is under
// connections_mutex_.
#ifndef STANDINS_CVSTORAGE_STORAGE_SERVER_H_
#define STANDINS_CVSTORAGE_STORAGE_SERVER_H_

#include <sys/types.h>

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standins/cvstorage/storage_sources.h"
#include "standins/wire/unique_fd.h"

namespace cvstorage {

// The two classes and their interfaces.
inline constexpr const char* kMailboxClass = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b768";
inline constexpr const char* kMailboxInterface = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b761";
inline constexpr const char* kPublicFolderClass = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b769";
inline constexpr const char* kPublicFolderInterface = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b762";

class StorageServer {
 public:
  // Peers are served when they run as the server's user or are members of one of
  // `admitted_groups`. IsReady answers 0 until `ready_at`.
  StorageServer(std::vector<gid_t> admitted_groups, std::chrono::steady_clock::time_point ready_at);
  ~StorageServer();
  StorageServer(const StorageServer&) = delete;
  StorageServer& operator=(const StorageServer&) = delete;

  // Reads both lists again, from the paths the hive names now. Returns the status of the
  // `public_folders` list, or of the mailbox list.
  uint32_t Refresh(bool public_folders);

  // Makes the socket at `path`, replacing a stale one. False with `error` set when the path
  // is unusable or another server answers on it.
  bool Listen(const std::string& path, std::string* error);
  // Serves until `stop_fd` becomes readable, then ends every connection, waits for their
  // threads and removes the socket.
  void Run(int stop_fd);

 private:
  struct Snapshot;
  struct Connection;
  struct Object;
  struct Reply;

  bool Admit(int fd) const;
  void Serve(Connection* connection);
  Reply Call(Object* object, uint32_t slot, int32_t argument);
  std::shared_ptr<const Snapshot> Current();
  // Joins the threads of connections that have ended (all of them after shutting them down
  // when `all`); returns how many remain.
  size_t Reap(bool all);

  const std::vector<gid_t> admitted_groups_;
  const std::chrono::steady_clock::time_point ready_at_;
  std::mutex refresh_mutex_;  // one reading of the sources at a time
  std::mutex snapshot_mutex_;
  std::shared_ptr<const Snapshot> snapshot_;  // guarded by snapshot_mutex_
  std::string path_;
  wire::UniqueFd listener_;
  std::mutex connections_mutex_;
  std::list<std::shared_ptr<Connection>> connections_;  // guarded by connections_mutex_
};

}  // namespace cvstorage

#endif  // STANDINS_CVSTORAGE_STORAGE_SERVER_H_
