// The mail store parser: the service that keeps the mailbox and public folder lists up to
// date for the pages. One instance per process, made by the host-process component (which
// initialises the thread layer first) and published in the "$mail_store_parser4php" block,
// where the module finds it. It owns a CStorage snapshot and one worker thread that fills
// it; requests from request threads reach the worker one at a time through four events.
//
// Thread safety: every public operation may be called from any request thread. Requests are
// serialised by the ready event, and no requester waits longer than kRequestWaitMs; the
// snapshot is guarded by the storage lock, which a requester must not hold while it asks
// for a refresh (StorageGuard holds it for a scope; StorageLocked needs it held). The object
// is used through its address by code of two libraries, so its layout is the same for both
// (same source).
#ifndef MAILSTORE_PARSER_H_
#define MAILSTORE_PARSER_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "mailstore/storage.h"
#include "platform/named_blocks.h"
#include "support/layer_handles.h"
#include "support/sync.h"

namespace mailstore {

inline constexpr char kParserBlock[] = "$mail_store_parser4php";

class CMailStoreParser {
 public:
  // Makes the snapshot and the events, starts the worker (its first attempt at both lists
  // begins at once) and publishes this object's address in the block.
  CMailStoreParser();
  // Refuses new calls, stops a running enumeration, stops the worker (waiting up to 10 s
  // for its turn and 10 s for its end) and releases everything.
  ~CMailStoreParser();
  CMailStoreParser(const CMailStoreParser&) = delete;
  CMailStoreParser& operator=(const CMailStoreParser&) = delete;

  // A refresh of the mailbox (public folder) list, carried out by the worker. Waits up to
  // kRequestWaitMs in all for its turn and the worker's answer: false when the parser is
  // not initialised, or when the answer did not come in time (the worker then finishes the
  // refresh on its own and gives the turn to the next requester).
  bool EnumMBs();
  bool EnumPFs();
  // The number of entries, under the storage lock; 0 while not initialised.
  int32_t GetMBsSize();
  int32_t GetPFsSize();
  // Enter and leave the storage lock around reading the snapshot; false while not
  // initialised.
  bool AckquireStorage();
  bool ReleaseStorage();
  // Whether the worker's first attempt has ended (and the destructor has not begun).
  bool IsInitialised() const { return initialised_.load(std::memory_order_acquire); }
  // The snapshot, for readers between AckquireStorage and ReleaseStorage; may be null.
  const CStorage* StorageLocked() const { return storage_.get(); }
  // The destructor stores into `*flag` whether the worker ended and was joined: false when
  // it gave up waiting for it, and the worker's code must then stay loaded.
  void ReportWorkerJoinedTo(bool* flag) { worker_joined_out_ = flag; }

  // Requests of the hand-off.
  static constexpr int32_t kRequestMailboxes = 0;
  static constexpr int32_t kRequestPublicFolders = 1;
  static constexpr int32_t kRequestStop = 2;

  // The longest a request thread waits on the worker.
  static constexpr uint32_t kRequestWaitMs = 20000;

  // For tests: places `request` as a requester does and waits for its answer.
  bool RequestForTesting(int32_t request) { return Request(request); }

 private:
  bool Request(int32_t request);
  void TimedOut();
  void InitFileMapping();
  void UninitFileMapping();
  static void handler(void* parser);
  void Serve();

  std::unique_ptr<CStorage> storage_;
  std::atomic<bool> initialised_{false};
  support::FCriticalSection storage_lock_;
  support::FEvent stopped_{/*manual_reset=*/true, /*initially_signalled=*/false};
  std::atomic<int32_t> request_{0};
  // Who takes the answer of the request under way: the requester while it waits, the worker
  // once the requester gave up waiting.
  enum Answer : int32_t { kAnswerAwaited, kAnswerGiven, kAnswerAbandoned };
  std::atomic<int32_t> answer_{kAnswerGiven};
  std::unique_ptr<support::FEvent> ready_;
  std::unique_ptr<support::FEvent> done_;
  std::unique_ptr<support::FEvent> request_event_;
  support::EventHandle abort_event_;
  support::ThreadHandle worker_;  // joined by the destructor
  bool* worker_joined_out_ = nullptr;
  platform::NamedBlock mapping_;
};

// Holds the parser's storage lock for its scope, through AckquireStorage and ReleaseStorage
// (both traced, as the script functions always did, whatever the parser's state).
class StorageGuard {
 public:
  explicit StorageGuard(CMailStoreParser* parser) : parser_(parser) { parser_->AckquireStorage(); }
  ~StorageGuard() { parser_->ReleaseStorage(); }
  StorageGuard(const StorageGuard&) = delete;
  StorageGuard& operator=(const StorageGuard&) = delete;

 private:
  CMailStoreParser* const parser_;
};

}  // namespace mailstore

#endif  // MAILSTORE_PARSER_H_
