// The named blocks' fork handler: the table's lock is held across fork() so the child never
// inherits it locked, and the child forgets the parent's blocks: their memory stays
// allocated (views of them may still be referenced by copies of the parent's state) but no
// name leads to them.
//
// Thread safety: registered once, when the library is loaded; removed by the C library
// when it is unloaded.
#include <pthread.h>

#include "platform/named_blocks_table.h"

namespace {

__attribute__((constructor)) void RegisterForkHandlers() {
  using namespace platform::named_blocks_table;
  pthread_atfork(LockForFork, UnlockInParent, ForgetInChild);
}

}  // namespace
