// The synchronisation objects and threads of this process over Windows' own (see
// sync_objects.h): every handle is a kernel handle, every wait a kernel wait.
//
// The table remembers which handles were made here and of which kind, so a handle of
// another kind or origin (a file, a handle already closed and perhaps reused by the kernel
// for something else) is refused as the contract says instead of being acted on. Waits work
// on a duplicate taken under the table's lock, so a handle closed meanwhile by another
// thread cannot end or redirect a wait in progress.
//
// Wine is more lenient than Windows in two places the contract names: a wait for all with
// one handle given twice, and a semaphore released by a count of 0, succeed there. The port
// refuses both itself, as Windows does.
//
// Thread safety: one mutex guards the table and is never held across a wait.
#include "platform/sync_objects.h"

#include <process.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/win32_windows.h"

namespace {

using platform::kErrorInvalidParameter;
using platform::kErrorMaxThreadsReached;
using platform::kErrorNotEnoughMemory;

enum class Kind { kEvent, kMutex, kSemaphore, kThread };

struct Table {
  std::mutex mutex;
  std::unordered_map<uint32_t, Kind> handles;
};

// Made at first use and never destroyed: threads started here may still close their
// handles while the process ends.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

uint32_t NumberOf(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}
HANDLE HandleOf(uint32_t number) { return reinterpret_cast<HANDLE>(uintptr_t{number}); }

// Enters a new kernel handle in the table; closes it when the table cannot take it.
uint32_t Add(HANDLE handle, Kind kind) {
  if (handle == nullptr) return 0;
  try {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.handles.emplace(NumberOf(handle), kind);
    return NumberOf(handle);
  } catch (...) {
    CloseHandle(handle);
    platform::SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
}

// Runs `call` on the handle under the table's lock when it is one of ours of `kind`.
template <typename Call>
bool WithHandle(uint32_t number, Kind kind, Call&& call) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.handles.find(number);
  return found != table.handles.end() && found->second == kind && call(HandleOf(number));
}

// A duplicate of one of our handles for a wait, closed when the wait is over.
class WaitHandle {
 public:
  WaitHandle() = default;
  ~WaitHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  WaitHandle(const WaitHandle&) = delete;
  WaitHandle& operator=(const WaitHandle&) = delete;

  // False when `number` is not in the table (the table's lock is held by the caller).
  bool TakeLocked(const Table& table, uint32_t number) {
    if (!table.handles.contains(number)) return false;
    const HANDLE process = GetCurrentProcess();
    return DuplicateHandle(process, HandleOf(number), process, &handle_, 0, FALSE,
                           DUPLICATE_SAME_ACCESS) != 0;
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// Windows' thread-local slots are numbered below this; the bitmap below says which of them
// were handed out here, since Windows lets any number in range be set.
constexpr uint32_t kTlsSlots = TLS_MINIMUM_AVAILABLE + 1024;
std::atomic<uint32_t> g_tls_allocated[kTlsSlots / 32];

bool TlsAllocated(uint32_t slot) {
  return slot < kTlsSlots &&
         (g_tls_allocated[slot / 32].load(std::memory_order_acquire) & (1u << slot % 32)) != 0;
}

// CvExitThread's way out of a thread started here: thrown, so the stack unwinds, and caught
// at the thread's base.
struct ThreadExit {
  uint32_t code;
};

thread_local bool t_started_here = false;

struct ThreadStart {
  CvThreadRoutine routine;
  void* argument;
};

unsigned __stdcall RunThread(void* start_pointer) {
  const ThreadStart start = *static_cast<ThreadStart*>(start_pointer);
  delete static_cast<ThreadStart*>(start_pointer);
  t_started_here = true;
  try {
    return start.routine(start.argument);
  } catch (const ThreadExit& exit) {
    return exit.code;
  }
}

}  // namespace

uint32_t CvCreateEvent(bool manual_reset, bool initially_signalled) {
  return Add(CreateEventW(nullptr, manual_reset, initially_signalled, nullptr), Kind::kEvent);
}

bool CvSetEvent(uint32_t event) {
  return WithHandle(event, Kind::kEvent, [](HANDLE handle) { return SetEvent(handle) != 0; });
}

bool CvResetEvent(uint32_t event) {
  return WithHandle(event, Kind::kEvent, [](HANDLE handle) { return ResetEvent(handle) != 0; });
}

uint32_t CvCreateMutex(bool initially_owned) {
  return Add(CreateMutexW(nullptr, initially_owned, nullptr), Kind::kMutex);
}

bool CvReleaseMutex(uint32_t mutex) {
  return WithHandle(mutex, Kind::kMutex, [](HANDLE handle) { return ReleaseMutex(handle) != 0; });
}

uint32_t CvCreateSemaphore(int32_t initial_count, int32_t maximum_count) {
  return Add(CreateSemaphoreW(nullptr, initial_count, maximum_count, nullptr), Kind::kSemaphore);
}

bool CvReleaseSemaphore(uint32_t semaphore, int32_t count, int32_t* previous_count) {
  // Windows refuses a count that is not positive; Wine adds nothing and succeeds.
  if (count <= 0) {
    platform::SetLastError(kErrorInvalidParameter);
    return false;
  }
  return WithHandle(semaphore, Kind::kSemaphore, [&](HANDLE handle) {
    LONG previous = 0;
    if (!ReleaseSemaphore(handle, count, &previous)) return false;
    if (previous_count != nullptr) *previous_count = previous;
    return true;
  });
}

uint32_t CvCreateThread(CvThreadRoutine routine, void* argument, bool suspended) {
  if (routine == nullptr) {
    platform::SetLastError(kErrorInvalidParameter);
    return 0;
  }
  auto* start = new (std::nothrow) ThreadStart{routine, argument};
  if (start == nullptr) {
    platform::SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  // Through the C library, which sets up its own per-thread state for the routine.
  const uintptr_t thread =
      _beginthreadex(nullptr, 0, RunThread, start, suspended ? CREATE_SUSPENDED : 0, nullptr);
  if (thread == 0) {
    delete start;
    platform::SetLastError(::GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? kErrorNotEnoughMemory
                                                                       : kErrorMaxThreadsReached);
    return 0;
  }
  return Add(reinterpret_cast<HANDLE>(thread), Kind::kThread);
}

uint32_t CvResumeThread(uint32_t thread) {
  DWORD previous = 0xFFFFFFFF;
  WithHandle(thread, Kind::kThread, [&](HANDLE handle) {
    previous = ResumeThread(handle);
    return true;
  });
  return previous;
}

// TerminateThread would leave the locks the thread holds taken and its memory in use, as
// on every system: not done here either.
bool CvTerminateThread(uint32_t, uint32_t) { return false; }

bool CvGetExitCodeThread(uint32_t thread, uint32_t* exit_code) {
  return WithHandle(thread, Kind::kThread, [&](HANDLE handle) {
    DWORD code = 0;
    if (!GetExitCodeThread(handle, &code)) return false;
    *exit_code = code;
    return true;
  });
}

void CvExitThread(uint32_t exit_code) {
  if (t_started_here) throw ThreadExit{exit_code};
  // A thread of another origin has no base here to catch the unwinding: it ends as Windows
  // ends it, without running the destructors of its stack.
  ExitThread(exit_code);
}

uint32_t CvWaitForSingleObject(uint32_t handle, uint32_t milliseconds) {
  WaitHandle waited;
  {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (!waited.TakeLocked(table, handle)) return kCvWaitFailed;
  }
  return WaitForSingleObject(waited.get(), milliseconds);
}

uint32_t CvWaitForMultipleObjects(uint32_t count, const uint32_t* handles, bool wait_all,
                                  uint32_t milliseconds) {
  if (count == 0 || count > kCvMaximumWaitObjects || handles == nullptr) {
    platform::SetLastError(kErrorInvalidParameter);
    return kCvWaitFailed;
  }
  if (wait_all) {
    // Windows refuses a handle given twice to a wait for all; Wine would take it.
    for (uint32_t i = 1; i < count; ++i) {
      if (std::find(handles, handles + i, handles[i]) != handles + i) {
        platform::SetLastError(kErrorInvalidParameter);
        return kCvWaitFailed;
      }
    }
  }
  WaitHandle waited[kCvMaximumWaitObjects];
  HANDLE kernel[kCvMaximumWaitObjects];
  {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (uint32_t i = 0; i < count; ++i) {
      if (!waited[i].TakeLocked(table, handles[i])) return kCvWaitFailed;
      kernel[i] = waited[i].get();
    }
  }
  return WaitForMultipleObjects(count, kernel, wait_all, milliseconds);
}

bool CvCloseHandle(uint32_t handle) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.handles.erase(handle) == 0) return false;
  return CloseHandle(HandleOf(handle)) != 0;
}

size_t CvSyncHandleCount() {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.handles.size();
}

uint32_t CvTlsAlloc() {
  const DWORD slot = TlsAlloc();
  if (slot == TLS_OUT_OF_INDEXES) return kCvTlsOutOfIndexes;
  if (slot >= kTlsSlots) {  // beyond every Windows version's slots: not ours to hand out
    TlsFree(slot);
    return kCvTlsOutOfIndexes;
  }
  g_tls_allocated[slot / 32].fetch_or(1u << slot % 32, std::memory_order_acq_rel);
  return slot;
}

bool CvTlsFree(uint32_t slot) {
  if (!TlsAllocated(slot)) return false;
  g_tls_allocated[slot / 32].fetch_and(~(1u << slot % 32), std::memory_order_acq_rel);
  return TlsFree(slot) != 0;
}

void* CvTlsGetValue(uint32_t slot) { return TlsAllocated(slot) ? TlsGetValue(slot) : nullptr; }

bool CvTlsSetValue(uint32_t slot, void* value) {
  return TlsAllocated(slot) && TlsSetValue(slot, value) != 0;
}

void CvYieldThread() { SwitchToThread(); }

void CvSleep(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t CvGetCurrentThreadId() { return GetCurrentThreadId(); }
