// The service frame of the stand-in servers (the agent and the storage server): the socket
// in the servers' own folder, who is admitted, a worker thread per connection, and every bound
// on what a client can make a server hold or wait for. A server brings only its protocol:
// a Session per connection that measures and answers messages.
//
// The bounds (one place; the README states them):
//   kMaxConnections            connections open at once
//   kMaxConnectionsPerAccount  of them, held by one account (by the peer's uid)
//   kMaxUnreadReplyBytes       replies a client has not read yet: past this, nothing more is
//                              read from it (and a notification for it ends the connection)
//   kMemoryBudget              messages being read and handled and replies not yet sent, all
//                              connections together; a message waits for its share
//   kIdleTimeout               a connection with nothing under way is closed after this
//   kMessageTimeout            a message must arrive whole from its first byte, and a reply
//                              must move on, within this
//
// Thread safety: Listen and Run belong to one thread; Notify and budget() may be used from
// any thread (the connections' own, in practice). Each connection's thread is the only one
// to read its socket; writes go under the connection's lock.
#ifndef STANDINS_SERVICE_SERVICE_H_
#define STANDINS_SERVICE_SERVICE_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "standins/service/log.h"
#include "standins/wire/unique_fd.h"

namespace service {

#ifdef _WIN32
// An account or group of this machine by its relative id: the last part of its SID, the
// machine's SID being the rest (see platform::AccountName).
using uid_t = uint32_t;
using gid_t = uint32_t;
#endif

inline constexpr size_t kMaxConnections = 256;
inline constexpr size_t kMaxConnectionsPerAccount = 64;
inline constexpr size_t kMaxUnreadReplyBytes = 1u << 20;
inline constexpr size_t kMemoryBudget = 256u << 20;
inline constexpr std::chrono::milliseconds kIdleTimeout = std::chrono::minutes(5);
inline constexpr std::chrono::milliseconds kMessageTimeout = std::chrono::seconds(10);

// The bounds a server runs with: the constants above; tests shorten the times.
struct Limits {
  size_t max_connections = kMaxConnections;
  size_t max_per_account = kMaxConnectionsPerAccount;
  size_t max_unread_reply_bytes = kMaxUnreadReplyBytes;
  size_t memory_budget = kMemoryBudget;
  std::chrono::milliseconds idle_timeout = kIdleTimeout;
  std::chrono::milliseconds message_timeout = kMessageTimeout;
};

// Bytes that the connections together may hold.
class MemoryBudget {
 public:
  explicit MemoryBudget(size_t bytes) : total_(bytes) {}

  // Takes `bytes`, waiting while others hold too much. False when `bytes` is more than the
  // whole budget, or when `give_up` (asked every few milliseconds while waiting) says so.
  bool Take(size_t bytes, const std::function<bool()>& give_up);
  // Takes `bytes` only when they are free now.
  bool TryTake(size_t bytes);
  void Give(size_t bytes);
  size_t held() const;
  size_t total() const { return total_; }

 private:
  const size_t total_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  size_t held_ = 0;  // guarded by mutex_
};

// The server's side of one connection's protocol. Called only from the connection's own
// thread, except where Server::Notify hands a session to another connection's thread.
class Session {
 public:
  virtual ~Session() = default;

  enum class Measure { kNeedMore, kMalformed, kKnown };
  // The next message from its first bytes (`head`, all that has arrived of it, perhaps
  // more): kKnown with its whole `size` and the `cost` its handling may hold besides its own
  // bytes (what it decodes to, its reply), kNeedMore while the head does not tell yet,
  // kMalformed to end the connection.
  virtual Measure MeasureNext(std::string_view head, size_t* size, size_t* cost) = 0;
  // Answers one whole message, appending the reply to `reply`. False ends the connection once
  // the reply is sent.
  virtual bool Handle(std::string_view message, std::string* reply) = 0;

  // Who is at the other end, as the kernel recorded it when it connected (set by the frame
  // before the first message).
  struct Peer {
    uid_t uid = 0;
    pid_t pid = 0;
  };
  const Peer& peer() const { return peer_; }

 private:
  friend class Server;
  Peer peer_;
};

class Server {
 public:
  using SessionFactory = std::function<std::unique_ptr<Session>()>;

  // Peers are served when they run as the server's user or are members of one of
  // `admitted_groups`; each connection gets a session from `make_session`.
  Server(std::vector<gid_t> admitted_groups, SessionFactory make_session, Limits limits = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Makes the socket at `path`, replacing a stale one. (On Windows: the pipe that stands for
  // `path`, which no other server may hold, open to the server's account and the admitted
  // groups; the folder plays no part there.) Its folder must be this account's and
  // writable by no other (it is made so, 0750 with the first admitted group or 0700, when
  // missing): nobody else may rename the socket or put another in its place. False with
  // `error` set when that folder or the path is unusable, or another server answers on it.
  bool Listen(const std::string& path, std::string* error);
  // Serves until `stop_fd` becomes readable (on Windows: the event whose handle it is is
  // set), then ends every connection, waits for their
  // threads and removes the socket.
  void Run(int stop_fd);

  // Sends what `message` makes for each other open session (nothing when it returns empty),
  // without waiting: a connection that cannot take it within its unread bound is ended.
  void Notify(const Session* origin, const std::function<std::string(Session&)>& message);

  MemoryBudget& budget() { return budget_; }
  const Limits& limits() const { return limits_; }

  // Log for what a client can make happen again and again (refusals, connections ended for
  // their behaviour): at most one line a second, so that no client fills the journal.
  void LogLimited(const char* format, ...) SERVICE_PRINTF_FORMAT(2, 3);

 private:
  struct Connection;

  // The peer's credentials when it is admitted.
  bool Admit(int fd, Session::Peer* credentials);
  // Hands an admitted peer to a waiting worker (a new one when none waits), when the bounds
  // leave it room.
  void Adopt(wire::UniqueFd peer, const Session::Peer& credentials);
  // A worker's life: serves the connections handed to it one after the other, and waits
  // for the next one between them, until the server stops or enough others wait.
  void Work();
  void Serve(Connection* connection);
  // Joins the workers that have left (all of them, after ending every connection and
  // telling the waiting workers to leave, when `all`).
  void Reap(bool all);

  const std::vector<gid_t> admitted_groups_;
  const SessionFactory make_session_;
  const Limits limits_;
  MemoryBudget budget_;
  std::string path_;
  wire::UniqueFd listener_;
  std::atomic<int64_t> last_limited_log_{0};  // steady clock, milliseconds
  std::mutex connections_mutex_;
  std::list<std::shared_ptr<Connection>> connections_;  // guarded by connections_mutex_
  std::map<uid_t, size_t> per_account_;                 // guarded by connections_mutex_
  // The workers: a connection goes to one that waits, so that it does not cost a thread's
  // start. All guarded by connections_mutex_.
  std::condition_variable handed_;
  std::list<std::shared_ptr<Connection>> unserved_;  // adopted, not taken by a worker yet
  size_t waiting_workers_ = 0;
  std::list<std::thread> workers_;
  std::vector<std::thread::id> left_;  // workers that have left and are not joined yet
  bool stopping_ = false;
};

// What both servers' mains share.
struct Startup {
  std::vector<gid_t> admitted_groups;
  wire::UniqueFd lock;  // <name>.lock in the machine root, held until the process ends
  wire::UniqueFd stop;  // readable on SIGTERM or SIGINT (on Windows: an event set on a
                        // console's Ctrl+C, Ctrl+Break or close, or through StopEventName)
};

// Adds the groups of a comma-separated list of names or numbers; false (with a line on
// standard error) at one that is not a group.
bool AddGroups(const std::string& list, std::vector<gid_t>* groups);

#ifdef _WIN32
// The event that stops the server of process `pid` cleanly, as SIGTERM does on POSIX.
inline std::wstring StopEventName(unsigned long pid) {
  return L"Local\\corvane.stop." + std::to_wstring(pid);
}
#endif

// Sets the umask, makes the machine root when missing, takes `name`.lock in it (one server
// of a kind per root), ignores SIGPIPE and blocks SIGTERM and SIGINT into `startup->stop`
// before any thread starts. False with a line on standard error when it cannot.
bool Start(const char* name, Startup* startup);

// Listens on `socket_path` in the machine root and serves until SIGTERM or SIGINT, with the
// log lines both servers write: 0, or 1 when it cannot listen.
int Serve(Server* server, const std::string& socket_path, const Startup& startup);

// A server's main: runs `run`, and reports an exception that escaped it as "`name`: what"
// on standard error with status 1.
int Main(const char* name, int (*run)(int, char**), int argc, char** argv);

}  // namespace service

#endif  // STANDINS_SERVICE_SERVICE_H_
