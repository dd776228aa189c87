// The agent's socket: accepts admitted peers, serves each connection's requests on a
// thread of its own against the policy store, and sends change notifications to the
// connections that checked in for them.
//
// Thread safety: Listen and Run are called by one thread (the agent's main thread); the
// connection threads share only the store (itself thread-safe) and the connection list,
// which is under connections_mutex_. Each connection writes its frames under its own lock,
// so a notification from another thread never cuts into a reply.
#ifndef STANDINS_CVMAD_AGENT_SERVER_H_
#define STANDINS_CVMAD_AGENT_SERVER_H_

#include <sys/types.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standins/cvmad/policy_store.h"
#include "standins/wire/unique_fd.h"
#include "standins/wire/wire.h"

namespace cvmad {

using wire::UniqueFd;

// Writes one line, prefixed with the program's name, to standard error.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

class AgentServer {
 public:
  // Peers are served when they run as the agent's user or are members of one of
  // `admitted_groups`.
  AgentServer(PolicyStore* store, std::vector<gid_t> admitted_groups);
  ~AgentServer();
  AgentServer(const AgentServer&) = delete;
  AgentServer& operator=(const AgentServer&) = delete;

  // Makes the socket at `path`, replacing a stale one. False with `error` set when the path
  // is unusable or another agent answers on it.
  bool Listen(const std::string& path, std::string* error);
  // Serves until `stop_fd` becomes readable, then closes every connection, waits for their
  // threads and removes the socket.
  void Run(int stop_fd);

 private:
  struct Connection;

  bool Admit(int fd) const;
  void Serve(Connection* connection);
  // The reply body to `request`; `changed` receives the OIDs of the variables it changed.
  std::string Handle(Connection* connection, const wire::Frame& request,
                     std::vector<std::string>* changed);
  void Notify(const Connection* origin, const std::vector<std::string>& changed);
  // Joins the threads of connections that have ended (all of them after shutting them down
  // when `all`); returns how many remain.
  size_t Reap(bool all);

  PolicyStore* const store_;
  const std::vector<gid_t> admitted_groups_;
  std::string path_;
  UniqueFd listener_;
  std::mutex connections_mutex_;
  std::list<std::shared_ptr<Connection>> connections_;
};

}  // namespace cvmad

#endif  // STANDINS_CVMAD_AGENT_SERVER_H_
