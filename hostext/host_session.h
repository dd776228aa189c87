// The host process's side of the agent: one session per process, published to the module
// through the "$cvma_session4php" block, and a listener that hands every change the agent
// reports to the reload entry the module publishes in "$settings_reloading_4cvwwwui".
// The client library is found as the module finds it (support/agent_libraries.h), so the
// process holds one copy of it.
//
// Thread safety: Start and Stop are called by one thread (the one that owns the object);
// the listener is a thread of its own. The cell is written only with atomic stores, by Start,
// the listener and Stop; anyone holding its address may read it at any time.
#ifndef HOSTEXT_HOST_SESSION_H_
#define HOSTEXT_HOST_SESSION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/named_blocks.h"

namespace cvwwwui {

// Forgets the client library's calls resolved so far (module shutdown, with no session
// running, before the core gives the library back): the next session resolves them again.
void ForgetClientCalls();

// Word 0: the address of the 32-bit cell holding the session handle (0: no session).
inline constexpr char kSessionBlock[] = "$cvma_session4php";
// Word 0: the address of the module's `void LoadChangedSetting(const char* oid)`.
inline constexpr char kReloadBlock[] = "$settings_reloading_4cvwwwui";

class HostSession {
 public:
  struct Options {
    std::string socket_path;  // empty: the agent of the machine root
    std::chrono::milliseconds retry{500};  // between attempts to reach the agent
  };

  // `cell` lives as long as the process: its address is what the block publishes.
  HostSession(std::atomic<uint32_t>* cell, Options options);
  ~HostSession() { Stop(); }
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Publishes the block of this process, opens the session (or leaves the cell 0 while the
  // agent or its client library cannot be reached) and starts the listener. False when the block cannot be made:
  // then nothing runs and the cell stays 0.
  bool Start() noexcept;
  // Stops the listener, closes the session and releases the block. Calling it again, or
  // without Start, does nothing.
  void Stop() noexcept;

  // What the listener does with each change: calls the reload entry published in this
  // process's reload block with `oid`. Does nothing without a block, with a null entry, or
  // with an entry that is not the exported `LoadChangedSetting` of a loaded object.
  static void Reload(const char* oid) noexcept;

 private:
  void Listen() noexcept;
  // Waits for `period` or until Stop; false when stopping.
  bool Pause(std::chrono::milliseconds period);

  std::atomic<uint32_t>* const cell_;
  const Options options_;
  platform::NamedBlock block_;
  std::thread listener_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace cvwwwui

#endif  // HOSTEXT_HOST_SESSION_H_
