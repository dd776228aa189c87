// The module-wide state: one instance per process, shared by every request and thread.
//
// Thread safety: the work-mode flags are written once by module start-up, before any
// request runs, and only read afterwards. The catalogue is replaced and taken under its own
// lock; a request reads it through RequestCatalogue without one. The initialised flag and the last error are
// atomics: any request thread may read or write them. The block views are written by
// the once-per-process set-up, which is serialised, and by module shutdown; the addresses
// taken from the blocks are atomics, read by request threads without a lock.
#ifndef MODULE_MODULE_STATE_H_
#define MODULE_MODULE_STATE_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/address_wait.h"

namespace settings {
class CSettings;
}

namespace module {

// A lock for the state below, constant-initialised on every system: std::mutex is not
// where the thread library's mutex needs a run-time initialiser (Windows), and the state
// must exist before the library's first call. Held only for a pointer's exchange, so a
// waiter sleeps on the flag rather than spinning.
class StateLock {
 public:
  constexpr StateLock() = default;
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

  void lock() {
    while (held_.exchange(1, std::memory_order_acquire) != 0) platform::WaitWhileEqual(&held_, 1);
  }
  void unlock() {
    held_.store(0, std::memory_order_release);
    platform::WakeOneWaiting(&held_);
  }

 private:
  std::atomic<uint32_t> held_{0};
};

struct ModuleState {
  // 1 once request start-up has mapped the session block; cleared by module shutdown.
  std::atomic<int32_t> initialised{0};
  // Work modes read from php-cvwwwui.ini at module start-up; kept until the process ends.
  uint8_t demo_mode = 0;
  uint8_t no_service_check_mode = 0;
  // View of the "$cvma_session4php" block, null while it is not mapped.
  void* session_view = nullptr;
  // The host's cell holding the agent session handle (word 0 of the session block); null
  // until the block is attached. Policy calls read the handle from it when they start.
  std::atomic<const uint32_t*> session_cell{nullptr};
  // The mail store parser's address (word 0 of the "$mail_store_parser4php" block); null
  // until the block is attached, and again after module shutdown.
  std::atomic<void*> mail_store_parser{nullptr};
  // The newest catalogue, made by request start-up and dropped by module shutdown. A
  // request holds the one that was newest when it started (see RequestCatalogue), so a
  // catalogue that a repeated set-up replaces lives on until the last request holding it
  // has ended. Guarded by catalogue_lock.
  std::shared_ptr<settings::CSettings> catalogue;
  StateLock catalogue_lock;
  // The module's last error: 0 none, 12 write refused (final or hidden), 14 write failed.
  std::atomic<int32_t> last_error{0};
};

// The one instance. Constant-initialised, so it exists before the library's first call.
ModuleState& State();

// The newest catalogue, for a holder outside a request (the reload entry, tests).
std::shared_ptr<settings::CSettings> CurrentCatalogue();

namespace internal {
// The calling thread's request's catalogue and what keeps it alive; both null outside a
// request. Plain pointers, so nothing of ours runs when a thread ends. Defined once, in the
// core library, so that the shells read the ones the lifecycle sets; constant-initialised,
// so no access needs a wrapper call.
extern constinit thread_local settings::CSettings* request_catalogue
    __attribute__((tls_model("initial-exec")));
extern constinit thread_local std::shared_ptr<settings::CSettings>* request_hold
    __attribute__((tls_model("initial-exec")));
}  // namespace internal

// The catalogue of the request running on this thread: the newest one when the request
// started, held until it ends, whatever later set-ups replace. Null outside a request or
// when none could be made. One thread-local read: no lock and no atomic operation.
inline settings::CSettings* RequestCatalogue() { return internal::request_catalogue; }

}  // namespace module

#endif  // MODULE_MODULE_STATE_H_
