// The module-wide state: one instance per process, shared by every request and thread.
//
// Thread safety: the work-mode flags are written once by module start-up, before any
// request runs, and only read afterwards. The initialised flag and the last error are
// atomics: any request thread may read or write them. The block views are written by
// the once-per-process set-up, which is serialised, and by module shutdown; the addresses
// taken from the blocks are atomics, read by request threads without a lock.
#ifndef MODULE_MODULE_STATE_H_
#define MODULE_MODULE_STATE_H_

#include <atomic>
#include <cstdint>

namespace settings {
class CSettings;
}

namespace module {

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
  // The one catalogue, made by the first request start-up, deleted by module shutdown.
  std::atomic<settings::CSettings*> catalogue{nullptr};
  // The module's last error: 0 none, 12 write refused (final or hidden), 14 write failed.
  std::atomic<int32_t> last_error{0};
};

// The one instance. Constant-initialised, so it exists before the library's first call.
ModuleState& State();

}  // namespace module

#endif  // MODULE_MODULE_STATE_H_
