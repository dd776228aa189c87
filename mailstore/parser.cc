#include "mailstore/parser.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <new>

#include "platform/errors.h"
#include "support/thread_layer.h"
#include "support/trace.h"

using support::EventClose;
using support::EventCreate;
using support::EventHandle;
using support::EventSet;
using support::EventWait;
using support::FEvent;
using support::FLockGuard;
using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::ThreadCreate;
using support::ThreadHandle;
using support::ThreadJoin;
using support::ThreadYield;
using support::TraceEnabled;
using support::TraceOut;

namespace mailstore {

namespace {

constexpr uint32_t kSecondAttemptDelayMs = 15000;
constexpr uint32_t kStopWaitMs = 10000;
constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kWaitSignalled = 0;

void Info(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", line);
}

const char* Was(uint32_t mailboxes, uint32_t folders) {
  return mailboxes == kOk || folders == kOk ? "was" : "WAS NOT";
}

}  // namespace

CMailStoreParser::CMailStoreParser() {
  Info("CMailStoreParser::CMailStoreParser()\n");
  storage_.reset(new (std::nothrow) CStorage());
  request_event_.reset(new (std::nothrow) FEvent(/*manual_reset=*/false,
                                                 /*initially_signalled=*/false));
  if (request_event_ != nullptr) ready_.reset(new (std::nothrow) FEvent(false, true));
  if (ready_ != nullptr) done_.reset(new (std::nothrow) FEvent(false, false));
  if (request_event_ == nullptr || ready_ == nullptr || done_ == nullptr) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Failed to create event\n");
    return;
  }
  abort_event_ = EventHandle(EventCreate(/*manual_reset=*/true, /*initially_signalled=*/false));
  worker_ = ThreadHandle(ThreadCreate(&CMailStoreParser::handler, this, /*close_on_exit=*/false));
  if (worker_.get() == 0) {
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Couldn't run mail store parser thread. Error: %d\n",
               static_cast<int>(platform::GetLastError()));
    }
    return;
  }
  ThreadYield();
  InitFileMapping();
}

CMailStoreParser::~CMailStoreParser() {
  Info("CMailStoreParser::~CMailStoreParser()\n");
  initialised_.store(false, std::memory_order_release);
  if (abort_event_.get() != 0) EventSet(abort_event_.get());
  const bool running = worker_.get() != 0;
  bool stopped = !running;
  if (running && ready_ != nullptr && ready_->Wait(kStopWaitMs)) {
    request_.store(kRequestStop, std::memory_order_release);
    request_event_->Set();
    stopped = stopped_.Wait(kStopWaitMs);
  }
  if (worker_joined_out_ != nullptr) *worker_joined_out_ = stopped;
  if (stopped) {
    // The worker has left its loop; its last steps are quick. Joining makes sure none of
    // its code runs once the host's library is unloaded.
    worker_.Join();
    abort_event_.Close();
    storage_.reset();
    ready_.reset();
    done_.reset();
    request_event_.reset();
  } else {
    // A worker that did not stop keeps its snapshot, its events and its thread: it may
    // still use them, so they are left behind on purpose.
    worker_.Release();
    abort_event_.Release();
    (void)storage_.release();
    (void)ready_.release();
    (void)done_.release();
    (void)request_event_.release();
  }
  UninitFileMapping();
}

void CMailStoreParser::InitFileMapping() {
  if (platform::NamedBlock::Create(kParserBlock, sizeof(uintptr_t), &mapping_, nullptr) == 0) {
    mapping_.WriteWord(reinterpret_cast<uintptr_t>(this));
  }
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "$mail_store_parser4php file: handle = %d, address = %" PRIXPTR "\n",
             static_cast<int>(mapping_.handle()), mapping_.ReadWord());
  }
}

void CMailStoreParser::UninitFileMapping() {
  Info("CMailStoreParser::UninitFileMapping(void)\n");
  mapping_.Release();
}

bool CMailStoreParser::Request(int32_t request) {
  if (!IsInitialised()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
  if (!ready_->Wait(kRequestWaitMs)) {
    TimedOut();
    return false;
  }
  request_.store(request, std::memory_order_release);
  answer_.store(kAnswerAwaited, std::memory_order_release);
  request_event_->Set();
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (!done_->Wait(static_cast<uint32_t>(std::max<int64_t>(left.count(), 0)))) {
    int32_t awaited = kAnswerAwaited;
    if (answer_.compare_exchange_strong(awaited, kAnswerAbandoned, std::memory_order_acq_rel)) {
      // The worker gives the turn back when it has finished.
      TimedOut();
      return false;
    }
    // The worker answered meanwhile: its answer is being given.
    done_->Wait(kInfinite);
  }
  // The requester, not the worker, gives the turn back, once it has taken its answer: were
  // the next request placed before that, its answer could be taken by this requester (the
  // next one then returning before its refill is done), or two answers could fall into the
  // one auto-reset event and leave a requester waiting for ever.
  ready_->Set();
  return true;
}

void CMailStoreParser::TimedOut() {
  if (TraceEnabled) {
    TraceOut("", TRACE_ERROR, 0, "The mail store parser did not answer within %u ms\n",
             kRequestWaitMs);
  }
}

bool CMailStoreParser::EnumMBs() {
  Info("CMailStoreParser::EnumMBs()\n");
  return Request(kRequestMailboxes);
}

bool CMailStoreParser::EnumPFs() {
  Info("CMailStoreParser::EnumPFs()\n");
  return Request(kRequestPublicFolders);
}

int32_t CMailStoreParser::GetMBsSize() {
  Info("CMailStoreParser::GetMBsSize()\n");
  if (!IsInitialised() || storage_ == nullptr) return 0;
  FLockGuard guard(&storage_lock_);
  return storage_->MBCount();
}

int32_t CMailStoreParser::GetPFsSize() {
  Info("CMailStoreParser::GetPFsSize()\n");
  if (!IsInitialised() || storage_ == nullptr) return 0;
  FLockGuard guard(&storage_lock_);
  return storage_->PFCount();
}

bool CMailStoreParser::AckquireStorage() {
  Info("CMailStoreParser::AckquireStorage()\n");
  if (!IsInitialised()) return false;
  storage_lock_.Lock();
  return true;
}

bool CMailStoreParser::ReleaseStorage() {
  Info("CMailStoreParser::ReleaseStorage()\n");
  if (!IsInitialised()) return false;
  storage_lock_.Unlock();
  return true;
}

void CMailStoreParser::handler(void* parser) {
  static_cast<CMailStoreParser*>(parser)->Serve();
}

void CMailStoreParser::Serve() {
  // The first attempt runs without the storage lock: no reader is admitted yet.
  const uint32_t abort = abort_event_.get();
  uint32_t mailboxes = storage_ != nullptr ? storage_->EnumerateMBs(abort, true) : kFail;
  uint32_t folders = storage_ != nullptr ? storage_->EnumeratePFs(abort) : kFail;
  initialised_.store(true, std::memory_order_release);
  const bool first = mailboxes == kOk || folders == kOk;
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Storage %s parsed from first attempt\n", Was(mailboxes, folders));
  }
  if (!first) {
    if (EventWait(abort, kSecondAttemptDelayMs) == kWaitSignalled) {
      stopped_.Set();
      return;
    }
    {
      FLockGuard guard(&storage_lock_);
      mailboxes = storage_ != nullptr ? storage_->EnumerateMBs(abort, true) : kFail;
      folders = storage_ != nullptr ? storage_->EnumeratePFs(abort) : kFail;
    }
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0, "Storage %s parsed from second attempt\n",
               Was(mailboxes, folders));
    }
  }
  Info("*** Entering CMailStoreParser::handler ***\n");
  for (;;) {
    request_event_->Wait(kInfinite);
    const int32_t request = request_.load(std::memory_order_acquire);
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0,
               "Following request received (out of mailboxes(0), pfolders(1), stop(2), "
               "unknown(3)) - %i\n",
               request);
    }
    if (request == kRequestStop) break;
    {
      FLockGuard guard(&storage_lock_);
      if (storage_ != nullptr && request == kRequestMailboxes) {
        storage_->EnumerateMBs(abort, true);
      } else if (storage_ != nullptr && request == kRequestPublicFolders) {
        storage_->EnumeratePFs(abort);
      }
    }
    int32_t awaited = kAnswerAwaited;
    if (answer_.compare_exchange_strong(awaited, kAnswerGiven, std::memory_order_acq_rel)) {
      done_->Set();
    } else {
      ready_->Set();  // its requester has given up waiting: nobody takes the answer
    }
  }
  Info("*** Leaving CMailStoreParser::handler ***\n");
  stopped_.Set();
}

}  // namespace mailstore
