// What the fuzz targets of the storage sources share: a machine root of their own and the
// readers' notes on standard error, counted instead of shown.
//
// Thread safety: for libFuzzer's one thread.
#ifndef STANDINS_CVSTORAGE_STORAGE_FUZZ_SUPPORT_H_
#define STANDINS_CVSTORAGE_STORAGE_FUZZ_SUPPORT_H_

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "platform/test_root.h"

namespace storage_fuzz {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

inline size_t notes = 0;

inline ssize_t CountNotes(void*, const char* data, size_t size) {
  notes += static_cast<size_t>(std::count(data, data + size, '\n'));
  return static_cast<ssize_t>(size);
}

// The machine root's mail folder, made at the first call in a new machine root under
// $TMPDIR (a memory file system there spares ext4 the files made and removed by the million)
// or /tmp, and removed at exit. From then on the readers' notes are only counted in `notes`:
// the libFuzzer's own output went to the stream it took at start-up.
inline const std::string& MailFolder() {
  static const platform::testing::TestMachineRoot root("storage_fuzz");
  static const std::string mail = [] {
    Check(!root.path().empty() && mkdir(root.Path("mail").c_str(), 0755) == 0);
    stderr = fopencookie(nullptr, "w", {nullptr, &CountNotes, nullptr, nullptr});
    Check(stderr != nullptr && setvbuf(stderr, nullptr, _IONBF, 0) == 0);
    return root.Path("mail");
  }();
  return mail;
}

}  // namespace storage_fuzz

#endif  // STANDINS_CVSTORAGE_STORAGE_FUZZ_SUPPORT_H_
