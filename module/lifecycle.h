// The module's lifecycle in core terms: what the PHP callbacks of the extension do,
// without any PHP types, so the PHP shells stay thin.
//
// Thread safety: Minit and Mshutdown run once, with no request running. Rinit and
// Rshutdown run on request threads, concurrently; the set-up of the first Rinit runs
// under a process-wide lock that Mshutdown and LoadChangedSetting take too.
#ifndef MODULE_LIFECYCLE_H_
#define MODULE_LIFECYCLE_H_

#include <cstddef>

#include "platform/export.h"

namespace module {

// The registry key holding the trace switches.
inline constexpr const char* kTraceKey =
    "SOFTWARE\\Veltmark\\Corvane\\Web User Interface\\Debug\\cvwebuid";

// The extensions' hold on the process state of the core: each extension takes one at its
// module start-up and lets it go at its module shutdown. The first holder configures the
// trace from the registry, once for the process whichever extensions it loads. The last one
// to let go (or a release with no holder left) resets every piece of process state the core
// keeps, as module/process_state.md lists them: module shutdown leaves nothing open.
void AcquireProcessCore();
void ReleaseProcessCore();

// Module start-up: takes a hold on the process core (the trace) and reads the work mode.
void Minit();
// Request start-up and shutdown.
void Rinit();
void Rshutdown();
// Module shutdown: releases what the module holds.
void Mshutdown();
// The reload entry published in the settings-reload block: another component of the
// process calls it, on a thread of its own, with the OID of a setting that changed, and
// the catalogue reads that setting again. Does nothing without a catalogue. Exported under
// its plain name: the host calls only an entry that is the module's own exported one.
CV_EXPORT void LoadChangedSetting(const char* oid);
// Writes the information callback's trace line.
void Minfo();

// The session block's view address as the information page shows it: upper-case
// hexadecimal of at least 8 digits, "00000000" while the block is not mapped.
void FormatSessionViewAddress(char* buffer, size_t size);

}  // namespace module

#endif  // MODULE_LIFECYCLE_H_
