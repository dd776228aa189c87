#include "hostext/host_session.h"

#include <utility>

#include "platform/library.h"
#include "standins/agent_api/cvma32.h"
#include "support/agent_libraries.h"

namespace cvwwwui {

namespace {

// One call of CVMATakeNotification waits this long at most, so Stop is seen within it. The
// wait does not hold the session: the module's sends on it go ahead meanwhile.
constexpr uint32_t kListenSliceMs = 50;
// A dotted OID is at most 1024 bytes.
constexpr size_t kOidCapacity = 1024 + 1;

using ReloadEntry = void (*)(const char* oid);
// The only entry the listener calls: the module exports it under this name.
constexpr char kReloadEntryName[] = "LoadChangedSetting";

// The calls of the client library the host makes, resolved on first use.
struct ClientCalls {
  decltype(&CVMAOpenSession) open_session = nullptr;
  decltype(&CVMACloseSession) close_session = nullptr;
  decltype(&CVMATakeNotification) take_notification = nullptr;
  decltype(&CVMAReconnectSession) reconnect_session = nullptr;
};

template <typename F>
bool Resolve(const char* name, F* function) {
  *function = reinterpret_cast<F>(
      support::ResolveAgentFunction(support::AgentLibrary::kClient, name, nullptr));
  return *function != nullptr;
}

// The client library's calls once resolved; null until then and after ForgetClientCalls.
std::atomic<const ClientCalls*> resolved{nullptr};
ClientCalls calls;  // under mutex
std::mutex mutex;

// The client library's calls, or null while the library cannot be loaded (a later call
// tries again).
const ClientCalls* Client() {
  if (const ClientCalls* done = resolved.load(std::memory_order_acquire)) return done;
  std::lock_guard lock(mutex);
  if (resolved.load(std::memory_order_relaxed) == nullptr &&
      Resolve("CVMAOpenSession", &calls.open_session) &&
      Resolve("CVMACloseSession", &calls.close_session) &&
      Resolve("CVMATakeNotification", &calls.take_notification) &&
      Resolve("CVMAReconnectSession", &calls.reconnect_session)) {
    resolved.store(&calls, std::memory_order_release);
  }
  return resolved.load(std::memory_order_relaxed);
}

// Opens a session on the agent; 0 when the agent or its library cannot be reached.
uint32_t OpenSession(const char* path) {
  const ClientCalls* client = Client();
  uint32_t session = 0;
  if (client == nullptr || client->open_session(path, &session) != CVMA_OK) return 0;
  return session;
}

void CloseSession(uint32_t session) {
  if (const ClientCalls* client = Client()) client->close_session(session);
}

}  // namespace

void ForgetClientCalls() {
  std::lock_guard lock(mutex);
  resolved.store(nullptr, std::memory_order_release);
}

HostSession::HostSession(std::atomic<uint32_t>* cell, Options options)
    : cell_(cell), options_(std::move(options)) {}

bool HostSession::Start() noexcept {
  try {
    if (block_.is_mapped()) return true;
    if (platform::NamedBlock::Create(kSessionBlock, sizeof(uintptr_t), &block_, nullptr) != 0)
      return false;
    cell_->store(0, std::memory_order_release);
    block_.WriteWord(reinterpret_cast<uintptr_t>(cell_));
    // The first attempt is made at once, so the module's start-up right after finds the session.
    const char* path = options_.socket_path.empty() ? nullptr : options_.socket_path.c_str();
    cell_->store(OpenSession(path), std::memory_order_release);
    {
      std::lock_guard lock(mutex_);
      stopping_ = false;
    }
    listener_ = std::thread([this] { Listen(); });
    return true;
  } catch (...) {
    // No listener: no session either, but the block stays until Stop.
    uint32_t session = cell_->exchange(0, std::memory_order_acq_rel);
    if (session != 0) CloseSession(session);
    return block_.is_mapped();
  }
}

void HostSession::Stop() noexcept {
  try {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
  } catch (...) {
    // The lock cannot fail here in practice; the listener still sees the flag at its next turn.
  }
  if (listener_.joinable()) {
    try {
      listener_.join();
    } catch (...) {
      listener_.detach();
    }
  }
  if (!block_.is_mapped()) return;
  uint32_t session = cell_->exchange(0, std::memory_order_acq_rel);
  if (session != 0) CloseSession(session);
  block_.WriteWord(0);
  block_.Release();
}

bool HostSession::Pause(std::chrono::milliseconds period) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, period, [this] { return stopping_; });
}

void HostSession::Listen() noexcept {
  try {
    const char* path = options_.socket_path.empty() ? nullptr : options_.socket_path.c_str();
    char oid[kOidCapacity];
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      uint32_t session = cell_->load(std::memory_order_acquire);
      if (session == 0) {
        session = OpenSession(path);
        if (session != 0) {
          cell_->store(session, std::memory_order_release);
        } else if (!Pause(options_.retry)) {
          return;
        }
        continue;
      }
      // A session exists, so the library's calls are resolved.
      const ClientCalls* client = Client();
      switch (client->take_notification(session, kListenSliceMs, oid, sizeof oid)) {
        case CVMA_OK:
          Reload(oid);
          break;
        case CVMA_E_NO_NOTIFICATION:
          break;
        case CVMA_E_CONNECT:
          // The agent went away: the same session connects again and makes the module's
          // check-ins again, so the handle the module holds stays good.
          if (client->reconnect_session(session) != CVMA_OK && !Pause(options_.retry)) return;
          break;
        case CVMA_E_HANDLE:
          // Closed by someone else: a new session takes its place.
          cell_->compare_exchange_strong(session, 0, std::memory_order_acq_rel);
          break;
        default:
          if (!Pause(options_.retry)) return;
      }
    }
  } catch (...) {
    // Only the lock can throw; the listener ends and the session stays for the module's sends.
  }
}

void HostSession::Reload(const char* oid) noexcept {
  try {
    platform::NamedBlock block;
    if (platform::NamedBlock::Open(kReloadBlock, false, &block) != 0 ||
        block.size() < sizeof(uintptr_t))
      return;
    const uintptr_t entry = block.ReadWord();
    if (entry == 0) return;
    // The entry must be the start of an exported `LoadChangedSetting` of a loaded module,
    // never just any code address; that module is held loaded for the call, so a module
    // going away meanwhile cannot take the code with it.
    const auto* address = reinterpret_cast<const void*>(entry);
    platform::ModuleHandle module = nullptr;
    if (!platform::GetModuleHandleEx(platform::kGetModuleHandleExFlagFromAddress, address,
                                     &module))
      return;
    const platform::ModuleReference hold(module);
    if (platform::GetProcAddress(module, kReloadEntryName) != address) return;
    if (block.ReadWord() == entry) {
      try {
        reinterpret_cast<ReloadEntry>(entry)(oid);
      } catch (...) {
        // The reload entry is the module's; nothing it throws may end the listener.
      }
    }
  } catch (...) {
    // The notification is dropped; the next one is handled anew.
  }
}

}  // namespace cvwwwui
