// Who serves a socket: the one rule every client of the machine's servers (the local
// server objects, the agent's client library and through it the operator's tool) applies
// before it sends anything.
//
// Thread safety: no state; safe from any thread.
#ifndef PLATFORM_PEER_IDENTITY_H_
#define PLATFORM_PEER_IDENTITY_H_

namespace platform {

// True when the process at the other end of the connected Unix socket `fd` runs as this
// process's user, as root, or as the owner of the machine root (the account the servers run
// as). Anyone else could only have got there by putting a socket in the servers' way.
bool ServedByTrustedAccount(int fd);

}  // namespace platform

#endif  // PLATFORM_PEER_IDENTITY_H_
