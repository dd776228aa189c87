// The public folder tree walk. Until the store provider exists, the walk answers a general
// failure, so the list stays empty when no storage server runs.
#include "mailstore/folder_tree.h"

#include "support/trace.h"

namespace mailstore {

uint32_t EnumFoldersTree(FolderCallback callback, uint32_t options, void* context) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "EnumFoldersTree()\n");
  return callback == nullptr ? kInvalidArg : kFail;
}

}  // namespace mailstore
