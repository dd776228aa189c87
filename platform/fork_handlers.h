// Work around a fork of the process. A lock held by one thread while another forks would
// stay held in the child, whose copy has only the forking thread: the lock's owner takes it
// before the fork and gives it back, or makes it anew, on each side after.
//
// Where the system has no fork, registration succeeds and the handlers never run.
//
// Thread safety: may be called from any thread.
#ifndef PLATFORM_FORK_HANDLERS_H_
#define PLATFORM_FORK_HANDLERS_H_

namespace platform {

using ForkHandler = void (*)();

// Registers handlers, any of which may be null, for every later fork: `prepare` runs in the
// forking thread just before it (the last registered first), `parent` and `child` just
// after it on each side (the first registered first). False when they could not be
// registered (memory ran out).
bool RegisterForkHandlers(ForkHandler prepare, ForkHandler parent, ForkHandler child);

}  // namespace platform

#endif  // PLATFORM_FORK_HANDLERS_H_
