// The PHP extension "cvwwwui": the host-process components of the web console. It has no
// PHP functions; it is loaded before settingsext so that, at the first request of every
// process, the agent session and its block exist before settingsext's request start-up
// looks for them.
//
// Thread safety: set-up and shutdown take one lock; the session cell is atomic. PHP workers
// are forked after module start-up, so nothing is made before the first request of a
// process, and a process only ever stops what it made itself.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "php.h"
#include "ext/standard/info.h"

#include "php/cvwwwui/host_session.h"
#include "platform/registry.h"

namespace {

// The session handle of this process, for as long as the process lives: the
// "$cvma_session4php" block carries its address.
std::atomic<uint32_t> session_cell{0};

std::mutex setup_mutex;
pid_t setup_pid = 0;                       // the process that made `host`
cvwwwui::HostSession* host = nullptr;      // under setup_mutex

void SetUpOncePerProcess() noexcept {
  try {
    std::lock_guard lock(setup_mutex);
    const pid_t pid = getpid();
    if (setup_pid == pid) return;
    // A process forked from one that was set up inherits a host without its listener
    // thread: it is left alone (never stopped or freed here), and this process gets its own.
    host = nullptr;
    setup_pid = pid;
    session_cell.store(0, std::memory_order_release);
    host = new (std::nothrow) cvwwwui::HostSession(&session_cell, {});
    if (host != nullptr && !host->Start()) {
      delete host;
      host = nullptr;
    }
  } catch (...) {
    // No session for this process; the pages run without one.
  }
}

void ShutDownThisProcess() noexcept {
  try {
    std::lock_guard lock(setup_mutex);
    if (setup_pid != getpid() || host == nullptr) return;
    host->Stop();
    delete host;
    host = nullptr;
    platform::ReleaseLocalMachine();  // opened to find the client library
  } catch (...) {
    // Nothing more can be done while the process ends.
  }
}

PHP_MSHUTDOWN_FUNCTION(cvwwwui) {
  ShutDownThisProcess();
  return SUCCESS;
}

PHP_RINIT_FUNCTION(cvwwwui) {
  SetUpOncePerProcess();
  return SUCCESS;
}

PHP_MINFO_FUNCTION(cvwwwui) {
  php_info_print_table_start();
  php_info_print_table_row(2, "Host-process components", "enabled");
  php_info_print_table_end();
}

}  // namespace

zend_module_entry cvwwwui_module_entry = {
    STANDARD_MODULE_HEADER,
    "cvwwwui",
    nullptr,  // no functions
    nullptr,  // nothing at module start-up: workers are forked after it
    PHP_MSHUTDOWN(cvwwwui),
    PHP_RINIT(cvwwwui),
    nullptr,
    PHP_MINFO(cvwwwui),
    nullptr,  // no version
    STANDARD_MODULE_PROPERTIES,
};

ZEND_GET_MODULE(cvwwwui)
