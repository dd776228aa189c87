#include "module/shared_blocks.h"

#include <cinttypes>
#include <cstdint>

#include "module/module_state.h"
#include "platform/named_blocks.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace module {

namespace {

// The handles and views this process holds; touched only by the serialised set-up and
// shutdown.
platform::NamedBlock g_session;
platform::NamedBlock g_parser;
platform::NamedBlock g_reload;

}  // namespace

bool AttachSessionBlock() {
  ModuleState& state = State();
  platform::NamedBlock::Open(kSessionBlock, /*writable=*/false, &g_session);
  state.session_view = g_session.view();
  const auto cell = reinterpret_cast<const uint32_t*>(g_session.ReadWord());
  state.session_cell.store(cell, std::memory_order_release);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "$cvma_session4php file: handle = %d, address = %" PRIXPTR "\n",
             static_cast<int>(g_session.handle()), reinterpret_cast<uintptr_t>(g_session.view()));
  }
  return g_session.is_mapped();
}

void AttachParserBlock() {
  ModuleState& state = State();
  if (platform::NamedBlock::Open(kParserBlock, /*writable=*/false, &g_parser) != 0) {
    state.mail_store_parser.store(nullptr, std::memory_order_release);
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "failed to open $mail_store_parser4php file\n");
    return;
  }
  const uintptr_t parser = g_parser.ReadWord();
  state.mail_store_parser.store(reinterpret_cast<void*>(parser), std::memory_order_release);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0,
             "$mail_store_parser4php file: handle = %d, mailstoreparser = %" PRIXPTR "\n",
             static_cast<int>(g_parser.handle()), parser);
  }
}

void AttachReloadBlock(ReloadEntry entry) {
  // A failed creation publishes nothing; everything else works without the reload.
  if (platform::NamedBlock::Create(kReloadBlock, sizeof(uintptr_t), &g_reload, nullptr) != 0) {
    return;
  }
  g_reload.WriteWord(reinterpret_cast<uintptr_t>(entry));
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0,
             "$settings_reloading_4cvwwwui file: handle = %d, address = %" PRIXPTR
             ", address content = %ld\n",
             static_cast<int>(g_reload.handle()), reinterpret_cast<uintptr_t>(g_reload.view()),
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

  // Word 0 keeps its value; the block goes once no other component holds it.
  g_reload.Release();
}

}  // namespace module
