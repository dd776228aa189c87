// The named blocks' table around a fork, for the port's fork handler (named_blocks_posix.cc).
//
// Thread safety: LockForFork runs in the forking thread just before fork(); the other two
// just after it, on their side, in the thread that forked.
#ifndef PLATFORM_NAMED_BLOCKS_TABLE_H_
#define PLATFORM_NAMED_BLOCKS_TABLE_H_

namespace platform::named_blocks_table {

// Takes the table's lock.
void LockForFork();
// Gives the lock back in the parent.
void UnlockInParent();
// Forgets every block and handle of the parent, then gives the lock back, in the child.
void ForgetInChild();

}  // namespace platform::named_blocks_table

#endif  // PLATFORM_NAMED_BLOCKS_TABLE_H_
