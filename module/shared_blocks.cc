#include "module/shared_blocks.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdint>

#include "module/module_state.h"
#include "platform/shared_memory.h"
#include "support/trace.h"

namespace module {

namespace {

// The mappings this process holds; touched only by the serialised set-up and shutdown.
platform::SharedBlock g_session;
platform::SharedBlock g_parser;
platform::SharedBlock g_reload;

}  // namespace

bool AttachSessionBlock() {
  ModuleState& state = State();
  platform::SharedBlock::Open(kSessionBlock, /*writable=*/false, &g_session);
  state.session_view = g_session.view();
  const auto cell = reinterpret_cast<const uint32_t*>(g_session.ReadWord());
  state.session_cell.store(cell, std::memory_order_release);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "$cvma_session4php file: handle = %d, address = %.8" PRIXPTR "\n",
             g_session.handle(), reinterpret_cast<uintptr_t>(g_session.view()));
  }
  return g_session.is_mapped();
}

void AttachParserBlock() {
  ModuleState& state = State();
  if (platform::SharedBlock::Open(kParserBlock, /*writable=*/true, &g_parser) != 0) {
    state.mail_store_parser.store(nullptr, std::memory_order_release);
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "failed to open $mail_store_parser4php file\n");
    return;
  }
  const uintptr_t parser = g_parser.ReadWord();
  state.mail_store_parser.store(reinterpret_cast<void*>(parser), std::memory_order_release);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0,
             "$mail_store_parser4php file: handle = %d, mailstoreparser = %.8" PRIXPTR "\n",
             g_parser.handle(), parser);
  }
}

void AttachReloadBlock(ReloadEntry entry) {
  // A failed creation publishes nothing; everything else works without the reload.
  if (platform::SharedBlock::Create(kReloadBlock, sizeof(uintptr_t), &g_reload, nullptr) != 0) {
    return;
  }
  g_reload.WriteWord(reinterpret_cast<uintptr_t>(entry));
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0,
             "$settings_reloading_4cvwwwui file: handle = %d, address = %.8" PRIXPTR
             ", address content = %ld\n",
             g_reload.handle(), reinterpret_cast<uintptr_t>(g_reload.view()),
             static_cast<long>(g_reload.ReadWord()));
  }
}

void ReleaseSharedBlocks() {
  ModuleState& state = State();
  g_session.Release();
  state.session_view = nullptr;
  state.session_cell.store(nullptr, std::memory_order_release);

  g_parser.Release();
  state.mail_store_parser.store(nullptr, std::memory_order_release);

  RemoveReloadBlock();
}

void RemoveReloadBlock() {
  const bool created = g_reload.is_mapped();
  g_reload.Release();
  if (created) platform::SharedBlock::Unlink(kReloadBlock, getpid());
}

}  // namespace module
