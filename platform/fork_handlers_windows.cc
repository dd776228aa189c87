// Windows has no fork: a new process starts from its program, with none of this process's
// threads or locks, so there is nothing to hand over and the handlers never run.
#include "platform/fork_handlers.h"

namespace platform {

bool RegisterForkHandlers(ForkHandler, ForkHandler, ForkHandler) { return true; }

}  // namespace platform
