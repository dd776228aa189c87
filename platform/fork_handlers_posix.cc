// Fork handlers with pthread_atfork.
#include "platform/fork_handlers.h"

#include <pthread.h>

namespace platform {

bool RegisterForkHandlers(ForkHandler prepare, ForkHandler parent, ForkHandler child) {
  return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace platform
