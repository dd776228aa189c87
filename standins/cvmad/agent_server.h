// The agent's protocol on the service frame: each connection's frames are requests to the
// policy store, answered in order; a change is sent as a notification to every other
// connection whose session checked in for it.
//
// Thread safety: a session's requests come from its connection's thread; its check-ins are
// under their own lock, since another connection's thread reads them to notify it. The
// store is itself thread-safe.
#ifndef STANDINS_CVMAD_AGENT_SERVER_H_
#define STANDINS_CVMAD_AGENT_SERVER_H_

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "standins/cvmad/policy_store.h"
#include "standins/service/service.h"
#include "standins/wire/wire.h"

namespace cvmad {

// What a set package takes in memory once decoded, per byte of it: a table of one integer
// column is the worst (each 8-byte cell becomes a row of its own).
inline constexpr size_t kDecodedBytesPerByte = 12;

class AgentSession : public service::Session {
 public:
  AgentSession(PolicyStore* store, service::Server* server) : store_(store), server_(server) {}
  ~AgentSession() override;

  Measure MeasureNext(std::string_view head, size_t* size, size_t* cost) override;
  bool Handle(std::string_view message, std::string* reply) override;

  // The notification frames of the `changed` OIDs that this session checked in for.
  std::string NotificationsFor(const std::vector<std::string>& changed);

 private:
  // The reply body to a request; `changed` receives the OIDs of the variables it changed.
  std::string Answer(uint32_t message_id, std::string_view body, std::vector<std::string>* changed);
  // The peer, for the audit records.
  const Actor& actor();

  PolicyStore* const store_;
  service::Server* const server_;
  std::mutex patterns_mutex_;
  std::vector<std::string> patterns_;  // checked in by this connection's session
  size_t patterns_charged_ = 0;        // of the memory budget, for patterns_; as patterns_
  Actor actor_;                        // the connection's thread only
};

}  // namespace cvmad

#endif  // STANDINS_CVMAD_AGENT_SERVER_H_
