// Who serves a socket: the one rule every client of the machine's servers (the local
// server objects, the agent's client library and through it the operator's tool) applies
// before it sends anything.
//
// Thread safety: no state; safe from any thread.
#ifndef PLATFORM_PEER_IDENTITY_H_
#define PLATFORM_PEER_IDENTITY_H_

#include <string>

namespace platform {

// True when the process at the other end of the connected Unix socket `fd` runs as this
// process's user, as root, or as the owner of the machine root (the account the servers run
// as). Anyone else could only have got there by putting a socket in the servers' way.
bool ServedByTrustedAccount(int fd);

// The name of the account `uid` as the account database has it, or "uid N" when it has
// none, so that a record always names someone.
std::string AccountName(unsigned uid);

}  // namespace platform

#endif  // PLATFORM_PEER_IDENTITY_H_
