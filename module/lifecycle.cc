#include "module/lifecycle.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "mailstore/folder_tree.h"
#include "mailstore/mail_host.h"
#include "module/module_state.h"
#include "module/shared_blocks.h"
#include "module/work_mode.h"
#include "platform/registry.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "products/products.h"
#include "settings/catalogue.h"
#include "settings/query_store.h"
#include "support/agent_libraries.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceReadRegistry;
using support::TraceSetLogFile;
using support::TraceShutdown;

namespace module {

namespace {

// Serialises the once-per-process set-up with module shutdown and with the reload entry,
// so neither meets a catalogue that a repeated set-up or the shutdown is deleting.
std::mutex g_setup_mutex;

// The number of extensions holding the process core. Under g_core_lock.
std::mutex g_core_lock;
int g_core_holders = 0;

// The OID subtrees the agent is to report changes of, per product.
constexpr const char* kMailPatterns[] = {
    "1.3.6.1.4.1.8642.18.1.*",
    "1.3.6.1.4.1.8642.20.1.*",
};
constexpr const char* kServerPatterns[] = {
    "1.3.6.1.4.1.8642.12.1.*", "1.3.6.1.4.1.8642.38.1.*", "1.3.6.1.4.1.8642.53.1.*",
    "1.3.6.1.4.1.8642.53.4.*", "1.3.6.1.4.1.8642.61.1.*", "1.3.6.1.4.1.8642.61.4.*",
    "1.3.6.1.4.1.8642.57.1.*",
};
constexpr const char* kCommonPatterns[] = {
    "1.3.6.1.4.1.8642.42.1.*",
    "1.3.6.1.4.1.8642.11.1.*",
};

template <size_t N>
void CheckIn(const char* const (&patterns)[N], const uint32_t* session_cell) {
  // A failed registration is traced by checkInPQH and does not stop the others.
  for (const char* pattern : patterns) policy::checkInPQH(pattern, session_cell);
}

// Everything the PHP functions need for the life of the process. Under g_setup_mutex.
// Returns whether the session block is mapped; when it is not, the next request repeats
// the set-up, and each attempt replaces what the previous one acquired.
bool SetUp() {
  ModuleState& state = State();
  policy::AgentApiInit(nullptr);
  const bool mapped = AttachSessionBlock();
  const bool mail = products::IsVEXMAILInstalled();
  if (mail) AttachParserBlock();

  std::shared_ptr<settings::CSettings> catalogue;
  try {
    catalogue = std::make_shared<settings::CSettings>();
  } catch (...) {
    catalogue.reset();
  }
  if (catalogue == nullptr && TraceEnabled) {
    TraceOut("", TRACE_ERROR, 0, "Failed to read product settings\n");
  }
  // The previous attempt's catalogue goes when the last request that started with it ends.
  std::shared_ptr<settings::CSettings> replaced;
  {
    std::lock_guard<StateLock> guard(state.catalogue_lock);
    replaced = std::exchange(state.catalogue, std::move(catalogue));
  }

  if (!state.demo_mode) {
    const uint32_t* session_cell = state.session_cell.load(std::memory_order_acquire);
    if (mail) CheckIn(kMailPatterns, session_cell);
    if (products::IsVEXSRVInstalled()) CheckIn(kServerPatterns, session_cell);
    CheckIn(kCommonPatterns, session_cell);
  }

  AttachReloadBlock(&LoadChangedSetting);
  return mapped;
}

// Holds the newest catalogue for the request starting on this thread.
void HoldRequestCatalogue() {
  auto* hold = new (std::nothrow) std::shared_ptr<settings::CSettings>(CurrentCatalogue());
  delete std::exchange(internal::request_hold, hold);
  internal::request_catalogue = hold != nullptr ? hold->get() : nullptr;
}

// Lets go of it when the request ends (the last holder of a replaced catalogue frees it).
void ReleaseRequestCatalogue() {
  internal::request_catalogue = nullptr;
  delete std::exchange(internal::request_hold, nullptr);
}

}  // namespace

std::shared_ptr<settings::CSettings> CurrentCatalogue() {
  ModuleState& state = State();
  std::lock_guard<StateLock> guard(state.catalogue_lock);
  return state.catalogue;
}

void AcquireProcessCore() {
  std::lock_guard lock(g_core_lock);
  if (g_core_holders++ > 0) return;
  TraceSetLogFile("settingsext.log", "a");
  TraceReadRegistry(platform::LocalMachine(), kTraceKey);
}

void ReleaseProcessCore() {
  std::lock_guard lock(g_core_lock);
  if (g_core_holders > 0 && --g_core_holders > 0) return;
  // The state is as when the library was loaded: what the process kept and learnt of the
  // machine and the agent is forgotten with it. The entries go before their libraries.
  settings::QueryStore::ReleaseInstance();
  agent::ForgetAgentEntries();
  support::ReleaseAgentLibraries();
  products::ForgetVerdicts();
  mailstore::ForgetMailHostNames();
  mailstore::FreePreloadedE2KLibraries();
  platform::ReleaseLocalMachine();
  TraceShutdown();
}

void Minit() {
  AcquireProcessCore();
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minit()\n");
  ReadWorkMode();
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minit() finished\n");
}

void Rinit() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "rinit()\n");
  ModuleState& state = State();
  bool done = state.initialised.load(std::memory_order_acquire) != 0;
  if (!done) {
    std::lock_guard<std::mutex> lock(g_setup_mutex);
    // Another request may have finished the set-up while this one waited.
    done = state.initialised.load(std::memory_order_acquire) != 0;
    // The flag is raised only once the whole set-up is done, so a request that finds it
    // set never meets a half-built state.
    if (!done && SetUp()) state.initialised.store(1, std::memory_order_release);
  }
  if (done && TraceEnabled) TraceOut("", TRACE_INFO, 0, "Already initialized\n");
  HoldRequestCatalogue();
}

void Rshutdown() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "rshutdown()\n");
  ReleaseRequestCatalogue();
}

void Mshutdown() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "mshutdown()\n");
  {
    std::lock_guard<std::mutex> lock(g_setup_mutex);
    // Only what this process acquired is released: its own handles and views of the
    // blocks, and its catalogue. A set-up that never completed (no session block yet)
    // leaves both behind too, and they go the same way.
    ModuleState& state = State();
    ReleaseSharedBlocks();
    {
      std::lock_guard<StateLock> guard(state.catalogue_lock);
      state.catalogue.reset();
    }
    state.initialised.store(0, std::memory_order_release);
  }
  policy::AgentApiShutdown();
  ReleaseProcessCore();
}

void Minfo() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minfo()\n");
}

void LoadChangedSetting(const char* oid) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "LoadChangedSetting()\n");
  if (oid == nullptr) return;
  const std::string changed(oid);
  std::lock_guard<std::mutex> lock(g_setup_mutex);
  const std::shared_ptr<settings::CSettings> catalogue = CurrentCatalogue();
  if (catalogue != nullptr) catalogue->ReadByOID(changed);
}

void FormatSessionViewAddress(char* buffer, size_t size) {
  std::snprintf(buffer, size, "%.8" PRIXPTR, reinterpret_cast<uintptr_t>(State().session_view));
}

}  // namespace module
