// The PHP extension "cvwwwui": the host-process components of the web console. Its one PHP
// function, cvwwwui_list_sources(), tells the pages where its parser's lists came from; it
// is loaded before settingsext so that, at the first request of every
// process, the agent session and the mail store parser (when the mail-server product is
// installed) and their blocks exist before settingsext's request start-up looks for them.
//
// Thread safety: set-up and shutdown take one lock; the session cell is atomic. PHP workers
// are forked after module start-up, so nothing is made before the first request of a
// process, and a process only ever stops what it made itself.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "php.h"
#include "ext/standard/info.h"

#include "mailstore/list_rows.h"
#include "mailstore/mail_host.h"
#include "mailstore/parser.h"
#include "module/lifecycle.h"
#include "hostext/host_session.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "products/products.h"
#include "support/thread_layer.h"
#include "support/trace.h"

using support::ThreadLayerInitialize;
using support::ThreadLayerShutdown;

namespace {

// The session handle of this process, for as long as the process lives: the
// "$cvma_session4php" block carries its address.
std::atomic<uint32_t> session_cell{0};

std::mutex setup_mutex;
uint32_t setup_pid = 0;                    // the process that made `host`
cvwwwui::HostSession* host = nullptr;      // under setup_mutex
mailstore::CMailStoreParser* parser = nullptr;  // under setup_mutex

// The mail store parser of this process, when the mail-server product is installed: the
// thread layer first, then the parser, whose worker starts at once. Its lines go to the
// process's one trace, which module start-up configured.
void StartMailStoreParser() {
  if (!products::IsVEXMAILInstalled() || !ThreadLayerInitialize()) return;
  parser = new (std::nothrow) mailstore::CMailStoreParser();
}

// Stops the parser. A worker that would not stop still runs code of this library, which
// must then stay loaded for the rest of the process.
void StopMailStoreParser() {
  if (parser == nullptr) return;
  bool joined = false;
  parser->ReportWorkerJoinedTo(&joined);
  delete parser;
  parser = nullptr;
  // What the worker's walks cached is forgotten with it, unless it still runs.
  if (joined) mailstore::ForgetMailHostNames();
  platform::ModuleHandle self = nullptr;
  if (!joined) {
    platform::GetModuleHandleEx(
        platform::kGetModuleHandleExFlagFromAddress | platform::kGetModuleHandleExFlagPin,
        reinterpret_cast<const void*>(&StopMailStoreParser), &self);
  }
  ThreadLayerShutdown();
}

void SetUpOncePerProcess() noexcept {
  try {
    std::lock_guard lock(setup_mutex);
    const uint32_t pid = platform::GetCurrentProcessId();
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
    parser = nullptr;  // a parent's parser is not this process's
    StartMailStoreParser();
  } catch (...) {
    // No session for this process; the pages run without one.
  }
}

void ShutDownThisProcess() noexcept {
  try {
    std::lock_guard lock(setup_mutex);
    if (setup_pid != platform::GetCurrentProcessId()) return;
    StopMailStoreParser();
    if (host != nullptr) {
      host->Stop();
      delete host;
      host = nullptr;
    }
    // The client library's calls go before the core gives the library back.
    cvwwwui::ForgetClientCalls();
  } catch (...) {
    // Nothing more can be done while the process ends.
  }
}

// cvwwwui_list_sources(): array|int. Where this process's parser read its two lists at
// their last reading: -1 when no parser runs or its first reading has not ended, else
// ["mailboxes" => R, "public_folders" => R], each R ["source" => "storage server" |
// "directory" | "public folder store" | "not read", "read_at" => seconds since 1970,
// "server_result" => int, "fallback_result" => int, "directory" => string].
ZEND_FUNCTION(cvwwwui_list_sources) {
  ZEND_PARSE_PARAMETERS_NONE();
  mailstore::ListReading readings[2];
  {
    std::lock_guard lock(setup_mutex);
    if (setup_pid != platform::GetCurrentProcessId() || parser == nullptr ||
        !parser->IsInitialised()) {
      RETURN_LONG(-1);
    }
    mailstore::ReadListSources(parser, &readings[0], &readings[1]);
  }
  array_init_size(return_value, 2);
  const char* const lists[2] = {"mailboxes", "public_folders"};
  const char* const fallbacks[2] = {"directory", "public folder store"};
  for (int i = 0; i < 2; ++i) {
    const mailstore::ListReading& reading = readings[i];
    zval entry;
    array_init_size(&entry, 5);
    using Source = mailstore::ListReading::Source;
    add_assoc_string(&entry, "source",
                     reading.source == Source::kStorageServer ? "storage server"
                     : reading.source == Source::kFallback    ? fallbacks[i]
                                                              : "not read");
    add_assoc_long(&entry, "read_at", static_cast<zend_long>(reading.ended_at));
    add_assoc_long(&entry, "server_result", static_cast<zend_long>(reading.server_result));
    add_assoc_long(&entry, "fallback_result", static_cast<zend_long>(reading.fallback_result));
    add_assoc_stringl(&entry, "directory", reading.directory.data(), reading.directory.size());
    add_assoc_zval(return_value, lists[i], &entry);
  }
}

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_MASK_EX(arginfo_cvwwwui_list_sources, 0, 0, MAY_BE_ARRAY | MAY_BE_LONG)
ZEND_END_ARG_INFO()

const zend_function_entry cvwwwui_functions[] = {
    ZEND_FE(cvwwwui_list_sources, arginfo_cvwwwui_list_sources)
    ZEND_FE_END
};

// The process core's trace is set up once, at the first module start-up of the process
// (settingsext's too), so that both extensions write through one.
PHP_MINIT_FUNCTION(cvwwwui) {
  module::AcquireProcessCore();
  return SUCCESS;
}

PHP_MSHUTDOWN_FUNCTION(cvwwwui) {
  ShutDownThisProcess();
  module::ReleaseProcessCore();
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
    cvwwwui_functions,
    PHP_MINIT(cvwwwui),
    PHP_MSHUTDOWN(cvwwwui),
    PHP_RINIT(cvwwwui),
    nullptr,
    PHP_MINFO(cvwwwui),
    nullptr,  // no version
    STANDARD_MODULE_PROPERTIES,
};

ZEND_GET_MODULE(cvwwwui)
