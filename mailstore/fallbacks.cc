// The directory and public folder tree routines before their ports exist: each traces its
// name and answers a general failure, so the lists stay empty when no storage server runs.
#include "mailstore/directory.h"
#include "mailstore/folder_tree.h"
#include "support/trace.h"

namespace mailstore {

uint32_t EnumMDBMailUsers(MailUserCallback callback, void* context, bool all_servers,
                          bool proxy_addresses) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "EnumMDBMailUsers()\n");
  return callback == nullptr ? kInvalidArg : kFail;
}

uint32_t EnumADMailUsers(MailUserCallback callback, void* context) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "EnumADMailUsers()\n");
  return callback == nullptr ? kInvalidArg : kFail;
}

uint32_t EnumFoldersTree(FolderCallback callback, uint32_t options, void* context) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "EnumFoldersTree()\n");
  return callback == nullptr ? kInvalidArg : kFail;
}

}  // namespace mailstore
