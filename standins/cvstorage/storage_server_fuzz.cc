// libFuzzer target for the storage server's side of its wire: the bytes of one connection,
// as any client could send them, measured and answered by a session of the server over the
// lists of a small passwd-file and public folder root. Every message must be measured, and
// every reply must have the shape the client reads (a connect's result alone; a call's
// result, number and text of at most kMaxLocalServerText units). The lists' share of the
// memory budget must stay within it.
//
// Thread safety: libFuzzer calls in from one thread; the server and its files are made once.
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/local_server.h"
#include "platform/test_root.h"
#include "standins/cvstorage/storage_server.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

uint32_t GetU32(std::string_view in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

// A machine root of its own with three mailboxes (one with a name longer than a reply may
// carry, cut in a surrogate pair) and a few public folders.
cvstorage::StorageServer& Server() {
  static service::MemoryBudget budget(service::kMemoryBudget);
  static cvstorage::StorageServer* server = [] {
    static const platform::testing::TestMachineRoot machine("storage_server_fuzz");
    const std::string& root = machine.path();
    for (const char* folder : {"/mail", "/mail/public", "/mail/public/.A", "/mail/public/.A.B",
                               "/mail/public/.G\xC3\xA4ste"})
      mkdir((root + folder).c_str(), 0700);
    std::string long_name(platform::kMaxLocalServerText - 1, 'x');
    long_name += "\xF0\x9D\x84\x9E";  // its surrogate pair straddles the limit
    std::ofstream(root + "/mail/passwd") << "anna@example.test:x:1:1:Anna Berg::\n"
                                         << "j@b\xC3\xBCro.test:x:::J\xC3\xBCrgen\n"
                                         << "long@example.test:x:1:1:" << long_name << "\n";
    auto* made = new cvstorage::StorageServer(&budget, std::chrono::steady_clock::now());
    made->Refresh(false);  // each refresh reads its own class's list
    made->Refresh(true);
    return made;
  }();
  Check(budget.held() <= budget.total());
  return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::unique_ptr<service::Session> session = Server().NewSession();
  for (bool first = true; !rest.empty(); first = false) {
    size_t length = 0, cost = 0;
    Check(session->MeasureNext(rest, &length, &cost) == service::Session::Measure::kKnown);
    Check(length == (first ? platform::kConnectMessageSize : platform::kCallMessageSize));
    if (rest.size() < length) break;
    std::string reply;
    const bool keep = session->Handle(rest.substr(0, length), &reply);
    rest.remove_prefix(length);
    Check(reply.size() <= cost);
    if (first) {
      Check(reply.size() == 4 && keep == (GetU32(reply) == 0));
    } else {
      Check(reply.size() >= platform::kReplyHeaderSize && keep);
      const uint32_t units = GetU32(std::string_view(reply).substr(8));
      Check(units <= platform::kMaxLocalServerText &&
            reply.size() == platform::kReplyHeaderSize + 2 * size_t{units});
    }
    if (!keep) break;
  }
  return 0;
}
