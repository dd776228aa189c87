// The table of synchronisation objects and threads of this process (see sync_objects.h).
//
// Every object's state lives under the one table lock, so a wait for all of several objects
// sees and takes them in one step. A thread that has to block links itself into the waiter
// list of each object it waits on and sleeps on its own condition variable; whatever changes
// an object's state wakes the waiters listed on it, which look again under the lock. An
// object counts its users (the handle, waits in progress, the thread running for it, the
// thread owning it), so closing a handle never frees what another thread is using.
//
// Mutexes are owned by a thread, not by a kernel thread id (ids are reused). A thread that
// ends holding mutexes abandons them: the next wait takes each with 0x80, as on Windows.
//
// Thread safety: one mutex guards the table. A fork handler holds it across fork() so the
// child never inherits it locked; the child forgets the parent's objects (their memory stays
// allocated, since copies of the parent's state may still point at them) and the waiters
// listed on them, which are threads of the parent.
#include "platform/sync_objects.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Kind { kEvent, kMutex, kSemaphore, kThread };

struct Object;
struct Waiter;

// One entry of a waiter in the list of an object it waits on.
struct WaitLink {
  Waiter* waiter;
  WaitLink* previous;
  WaitLink* next;
};

// A thread blocked in a wait; filled in only when the wait has to sleep.
struct Waiter {
  std::condition_variable wake;
  WaitLink links[kCvMaximumWaitObjects];
};

// The mutexes a thread holds; one per thread, so its address tells the owner.
struct Owner {
  Object* first_owned = nullptr;  // linked through Object::next_owned
  bool registered = false;        // set as the value of g_owner_key
};

struct Object {
  explicit Object(Kind kind) : kind(kind) {}

  const Kind kind;
  unsigned users = 0;  // the handle, waits in progress, the running thread, the owner
  WaitLink* waiters = nullptr;
  // Event.
  bool manual_reset = false;
  bool signalled = false;
  // Mutex.
  Owner* owner = nullptr;
  uint32_t recursion = 0;
  bool abandoned = false;
  Object* next_owned = nullptr;
  // Semaphore.
  int32_t count = 0;
  int32_t maximum = 0;
  // Thread.
  CvThreadRoutine routine = nullptr;
  void* argument = nullptr;
  bool suspended = false;
  bool exited = false;
  uint32_t exit_code = kCvStillActive;
  std::condition_variable resumed;
};

struct Table {
  std::mutex mutex;
  std::unordered_map<uint32_t, Object*>* handles = nullptr;  // made on first use
  std::vector<Object*>* forgotten = nullptr;  // a parent process's objects, after a fork
  uint32_t next_handle = 0;
};

// Nothing runs at exit or unload: a thread still running then, or another library's
// destructor, finds the table intact. What it holds goes with the process.
static_assert(std::is_trivially_destructible_v<Table>);
constinit Table g_table;

constinit thread_local Owner t_owner;
// The object of the calling thread when this table started it, and its exit code so far.
constinit thread_local Object* t_thread = nullptr;
constinit thread_local uint32_t t_exit_code = 0;

// Its destructor abandons the mutexes of a thread that ends without releasing them.
pthread_key_t g_owner_key;
bool g_owner_key_made = false;

Object* FindLocked(Table& table, uint32_t handle) {
  if (handle == 0 || table.handles == nullptr) return nullptr;
  auto it = table.handles->find(handle);
  return it == table.handles->end() ? nullptr : it->second;
}

Object* FindLocked(Table& table, uint32_t handle, Kind kind) {
  Object* object = FindLocked(table, handle);
  return object != nullptr && object->kind == kind ? object : nullptr;
}

// Handle numbers run 4, 8, 12, ... as a process's kernel handles do, skipping 0 and any in
// use. Throws std::bad_alloc, the table unchanged.
uint32_t AddLocked(Table& table, Object* object) {
  if (table.handles == nullptr) table.handles = new std::unordered_map<uint32_t, Object*>();
  uint32_t handle = table.next_handle;
  do {
    handle += 4;
  } while (handle == 0 || table.handles->count(handle) != 0);
  table.handles->emplace(handle, object);
  table.next_handle = handle;
  ++object->users;
  return handle;
}

// Puts `object` in the table under a new handle; on failure deletes it and returns 0.
uint32_t Publish(Object* object) {
  if (object == nullptr) return 0;
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  try {
    return AddLocked(table, object);
  } catch (...) {
    delete object;
    return 0;
  }
}

void DropUserLocked(Object* object) {
  if (--object->users == 0) delete object;
}

void WakeWaitersLocked(Object* object) {
  for (WaitLink* link = object->waiters; link != nullptr; link = link->next) {
    link->waiter->wake.notify_one();
  }
}

bool IsSignalledLocked(const Object& object, const Owner* caller) {
  switch (object.kind) {
    case Kind::kEvent:
      return object.signalled;
    case Kind::kMutex:
      return object.owner == nullptr || object.owner == caller;
    case Kind::kSemaphore:
      return object.count > 0;
    case Kind::kThread:
      return object.exited;
  }
  return false;
}

// Takes a signalled object for `caller`. True when it was a mutex abandoned by its owner.
bool TakeLocked(Object* object, Owner* caller) {
  switch (object->kind) {
    case Kind::kEvent:
      if (!object->manual_reset) object->signalled = false;
      return false;
    case Kind::kSemaphore:
      --object->count;
      return false;
    case Kind::kMutex: {
      if (object->owner == caller) {
        ++object->recursion;
        return false;
      }
      object->owner = caller;
      object->recursion = 1;
      ++object->users;
      object->next_owned = caller->first_owned;
      caller->first_owned = object;
      if (!caller->registered && g_owner_key_made) {
        caller->registered = pthread_setspecific(g_owner_key, caller) == 0;
      }
      const bool abandoned = object->abandoned;
      object->abandoned = false;
      return abandoned;
    }
    case Kind::kThread:
      return false;
  }
  return false;
}

void UnlinkOwnedLocked(Owner* owner, Object* mutex) {
  for (Object** link = &owner->first_owned; *link != nullptr; link = &(*link)->next_owned) {
    if (*link == mutex) {
      *link = mutex->next_owned;
      mutex->next_owned = nullptr;
      return;
    }
  }
}

void AbandonLocked(Owner* owner) {
  while (Object* mutex = owner->first_owned) {
    owner->first_owned = mutex->next_owned;
    mutex->next_owned = nullptr;
    mutex->owner = nullptr;
    mutex->recursion = 0;
    mutex->abandoned = true;
    WakeWaitersLocked(mutex);
    DropUserLocked(mutex);
  }
}

// Runs when a thread that has held a mutex ends (after its thread_local destructors).
void AbandonAtThreadEnd(void* value) {
  auto* owner = static_cast<Owner*>(value);
  std::lock_guard lock(g_table.mutex);
  AbandonLocked(owner);
  owner->registered = false;
}

// Whether the wait is over, and if so takes what it waited for and gives its result.
bool TryToEndWaitLocked(Object* const* objects, uint32_t count, bool wait_all, Owner* caller,
                        uint32_t* result) {
  if (wait_all) {
    for (uint32_t i = 0; i < count; ++i) {
      if (!IsSignalledLocked(*objects[i], caller)) return false;
    }
    *result = kCvWaitObject0;
    for (uint32_t i = 0; i < count; ++i) {
      if (TakeLocked(objects[i], caller) && *result == kCvWaitObject0) {
        *result = kCvWaitAbandoned0 + i;
      }
    }
    return true;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (IsSignalledLocked(*objects[i], caller)) {
      *result = (TakeLocked(objects[i], caller) ? kCvWaitAbandoned0 : kCvWaitObject0) + i;
      return true;
    }
  }
  return false;
}

uint32_t Wait(uint32_t count, const uint32_t* handles, bool wait_all, uint32_t milliseconds) {
  if (count == 0 || count > kCvMaximumWaitObjects || handles == nullptr) return kCvWaitFailed;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  Owner* const caller = &t_owner;
  Object* objects[kCvMaximumWaitObjects];
  Table& table = g_table;
  std::unique_lock lock(table.mutex);
  for (uint32_t i = 0; i < count; ++i) {
    objects[i] = FindLocked(table, handles[i]);
    if (objects[i] == nullptr) return kCvWaitFailed;
    // Taking one object twice in one step has no meaning (Windows refuses it too).
    for (uint32_t j = 0; wait_all && j < i; ++j) {
      if (objects[j] == objects[i]) return kCvWaitFailed;
    }
  }
  for (uint32_t i = 0; i < count; ++i) ++objects[i]->users;

  Waiter waiter;
  bool linked = false;
  uint32_t result = kCvWaitTimeout;
  while (!TryToEndWaitLocked(objects, count, wait_all, caller, &result)) {
    if (milliseconds == 0 || (milliseconds != kCvInfinite && Clock::now() >= deadline)) {
      result = kCvWaitTimeout;
      break;
    }
    if (!linked) {
      for (uint32_t i = 0; i < count; ++i) {
        WaitLink& link = waiter.links[i];
        link = {&waiter, nullptr, objects[i]->waiters};
        if (link.next != nullptr) link.next->previous = &link;
        objects[i]->waiters = &link;
      }
      linked = true;
    }
    if (milliseconds == kCvInfinite) {
      waiter.wake.wait(lock);
    } else {
      waiter.wake.wait_until(lock, deadline);
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (linked) {
      WaitLink& link = waiter.links[i];
      if (link.previous != nullptr) {
        link.previous->next = link.next;
      } else {
        objects[i]->waiters = link.next;
      }
      if (link.next != nullptr) link.next->previous = link.previous;
    }
    DropUserLocked(objects[i]);
  }
  return result;
}

// Marks the thread ended when its routine returns or CvExitThread unwinds its stack.
class ThreadEnd {
 public:
  explicit ThreadEnd(Object* thread) : thread_(thread) {}
  ~ThreadEnd() {
    std::lock_guard lock(g_table.mutex);
    AbandonLocked(&t_owner);
    thread_->exited = true;
    thread_->exit_code = t_exit_code;
    WakeWaitersLocked(thread_);
    DropUserLocked(thread_);
  }
  ThreadEnd(const ThreadEnd&) = delete;
  ThreadEnd& operator=(const ThreadEnd&) = delete;

 private:
  Object* const thread_;
};

// Not noexcept: CvExitThread ends the thread by unwinding through here.
void* RunThread(void* argument) {
  auto* thread = static_cast<Object*>(argument);
  {
    std::unique_lock lock(g_table.mutex);
    thread->resumed.wait(lock, [thread] { return !thread->suspended; });
  }
  t_thread = thread;
  t_exit_code = 0;
  ThreadEnd end(thread);
  t_exit_code = thread->routine(thread->argument);
  return nullptr;
}

void LockTableBeforeFork() { g_table.mutex.lock(); }
void UnlockTableInParent() { g_table.mutex.unlock(); }

void ForgetTableInChild() {
  Table& table = g_table;
  if (table.handles != nullptr) {
    try {
      if (table.forgotten == nullptr) table.forgotten = new std::vector<Object*>();
      table.forgotten->reserve(table.forgotten->size() + table.handles->size());
    } catch (...) {
      // Out of memory in a fresh child: the parent's objects are merely lost.
    }
    for (auto& [handle, object] : *table.handles) {
      object->waiters = nullptr;
      if (table.forgotten != nullptr && table.forgotten->size() < table.forgotten->capacity()) {
        table.forgotten->push_back(object);
      }
    }
    table.handles->clear();
  }
  // The forking thread goes on in the child: what it owned or ran for was the parent's.
  t_owner.first_owned = nullptr;
  if (t_thread != nullptr) t_thread->waiters = nullptr;
  table.mutex.unlock();
}

// Runs when the library is loaded. It is linked with -z nodelete, so it is never unloaded
// and the handlers stay valid.
__attribute__((constructor)) void SetUpTable() {
  g_owner_key_made = pthread_key_create(&g_owner_key, AbandonAtThreadEnd) == 0;
  pthread_atfork(LockTableBeforeFork, UnlockTableInParent, ForgetTableInChild);
}

}  // namespace

uint32_t CvCreateEvent(bool manual_reset, bool initially_signalled) {
  auto* event = new (std::nothrow) Object(Kind::kEvent);
  if (event != nullptr) {
    event->manual_reset = manual_reset;
    event->signalled = initially_signalled;
  }
  return Publish(event);
}

bool CvSetEvent(uint32_t event) {
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, event, Kind::kEvent);
  if (object == nullptr) return false;
  object->signalled = true;
  WakeWaitersLocked(object);
  return true;
}

bool CvResetEvent(uint32_t event) {
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, event, Kind::kEvent);
  if (object == nullptr) return false;
  object->signalled = false;
  return true;
}

uint32_t CvCreateMutex(bool initially_owned) {
  auto* mutex = new (std::nothrow) Object(Kind::kMutex);
  if (mutex == nullptr) return 0;
  Owner* const caller = &t_owner;
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  uint32_t handle = 0;
  try {
    handle = AddLocked(table, mutex);
  } catch (...) {
    delete mutex;
    return 0;
  }
  if (initially_owned) TakeLocked(mutex, caller);
  return handle;
}

bool CvReleaseMutex(uint32_t mutex) {
  Owner* const caller = &t_owner;
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, mutex, Kind::kMutex);
  if (object == nullptr || object->owner != caller) return false;
  if (--object->recursion == 0) {
    object->owner = nullptr;
    UnlinkOwnedLocked(caller, object);
    WakeWaitersLocked(object);
    DropUserLocked(object);
  }
  return true;
}

uint32_t CvCreateSemaphore(int32_t initial_count, int32_t maximum_count) {
  if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) return 0;
  auto* semaphore = new (std::nothrow) Object(Kind::kSemaphore);
  if (semaphore != nullptr) {
    semaphore->count = initial_count;
    semaphore->maximum = maximum_count;
  }
  return Publish(semaphore);
}

bool CvReleaseSemaphore(uint32_t semaphore, int32_t count, int32_t* previous_count) {
  if (count <= 0) return false;
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, semaphore, Kind::kSemaphore);
  if (object == nullptr || count > object->maximum - object->count) return false;
  if (previous_count != nullptr) *previous_count = object->count;
  object->count += count;
  WakeWaitersLocked(object);
  return true;
}

uint32_t CvCreateThread(CvThreadRoutine routine, void* argument, bool suspended) {
  if (routine == nullptr) {
    errno = EINVAL;
    return 0;
  }
  auto* thread = new (std::nothrow) Object(Kind::kThread);
  if (thread == nullptr) {
    errno = ENOMEM;
    return 0;
  }
  thread->routine = routine;
  thread->argument = argument;
  thread->suspended = suspended;
  thread->users = 1;  // the thread that runs it
  const uint32_t handle = Publish(thread);
  if (handle == 0) {
    errno = ENOMEM;
    return 0;
  }
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    // Nobody joins: the handle tells when the thread has ended.
    error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    if (error == 0) error = pthread_create(&id, &attributes, RunThread, thread);
    pthread_attr_destroy(&attributes);
  }
  if (error != 0) {
    Table& table = g_table;
    std::lock_guard lock(table.mutex);
    // A wait may already hold the object (someone waiting on a handle number just
    // reused): it ends as for a thread that has ended.
    thread->exited = true;
    WakeWaitersLocked(thread);
    if (table.handles->erase(handle) != 0) --thread->users;  // the handle's; the thread's stays
    DropUserLocked(thread);                                  // the thread's: it never runs
    errno = error;
    return 0;
  }
  return handle;
}

uint32_t CvResumeThread(uint32_t thread) {
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, thread, Kind::kThread);
  if (object == nullptr) return 0xFFFFFFFF;
  const uint32_t before = object->suspended ? 1 : 0;
  object->suspended = false;
  object->resumed.notify_one();
  return before;
}

bool CvTerminateThread(uint32_t /*thread*/, uint32_t /*exit_code*/) {
  errno = ENOTSUP;
  return false;
}

bool CvGetExitCodeThread(uint32_t thread, uint32_t* exit_code) {
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, thread, Kind::kThread);
  if (object == nullptr || exit_code == nullptr) return false;
  *exit_code = object->exit_code;
  return true;
}

void CvExitThread(uint32_t exit_code) {
  t_exit_code = exit_code;
  pthread_exit(nullptr);
}

uint32_t CvWaitForSingleObject(uint32_t handle, uint32_t milliseconds) {
  return Wait(1, &handle, false, milliseconds);
}

uint32_t CvWaitForMultipleObjects(uint32_t count, const uint32_t* handles, bool wait_all,
                                  uint32_t milliseconds) {
  return Wait(count, handles, wait_all, milliseconds);
}

bool CvCloseHandle(uint32_t handle) {
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  Object* object = FindLocked(table, handle);
  if (object == nullptr) return false;
  table.handles->erase(handle);
  DropUserLocked(object);
  return true;
}

size_t CvSyncHandleCount() {
  Table& table = g_table;
  std::lock_guard lock(table.mutex);
  return table.handles == nullptr ? 0 : table.handles->size();
}

uint32_t CvTlsAlloc() {
  pthread_key_t key;
  if (pthread_key_create(&key, nullptr) != 0) return kCvTlsOutOfIndexes;
  return static_cast<uint32_t>(key);
}

bool CvTlsFree(uint32_t slot) { return pthread_key_delete(slot) == 0; }

void* CvTlsGetValue(uint32_t slot) { return pthread_getspecific(slot); }

bool CvTlsSetValue(uint32_t slot, void* value) { return pthread_setspecific(slot, value) == 0; }

void CvYieldThread() { sched_yield(); }

void CvSleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  if (milliseconds == kCvInfinite) {
    for (;;) pause();
  }
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}

uint32_t CvGetCurrentThreadId() { return static_cast<uint32_t>(gettid()); }
