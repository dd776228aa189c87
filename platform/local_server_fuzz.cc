// libFuzzer target for the local-server client's reading of replies. The input is one byte
// (the number of calls of the batch, and the size of the pieces the bytes arrive in) and
// the bytes a server sent. Read piece by piece as the client reads them, every reply taken
// must be exactly its frame (it writes back to the same bytes), its text within
// kMaxLocalServerText, and the replies must not depend on how the bytes arrived; a call
// whose reply is incomplete or refused is left as it was.
//
// Thread safety: libFuzzer calls in from one thread.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_server.h"

namespace {

using platform::DecodeLocalServerReply;
using platform::kMaxLocalServerText;
using platform::kReplyHeaderSize;
using platform::LocalServerCall;

constexpr int32_t kUntouched = -7;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Encode(const LocalServerCall& call) {
  std::string out;
  auto put = [&out](uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(call.result);
  put(static_cast<uint32_t>(call.number));
  put(static_cast<uint32_t>(call.text.size()));
  for (const char16_t unit : call.text) {
    out.push_back(static_cast<char>(unit & 0xff));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

struct Outcome {
  std::vector<LocalServerCall> calls;
  size_t used = 0;
  bool refused = false;
};

// Reads `count` replies as the client does, the bytes coming `piece` at a time.
Outcome Read(std::string_view stream, size_t count, size_t piece) {
  Outcome outcome;
  outcome.calls.resize(count);
  for (LocalServerCall& call : outcome.calls) call.number = kUntouched;
  size_t arrived = std::min(piece, stream.size());
  for (LocalServerCall& call : outcome.calls) {
    for (;;) {
      const std::string_view waiting = stream.substr(outcome.used, arrived - outcome.used);
      const size_t size = DecodeLocalServerReply(waiting, &call);
      if (size == 0) {
        Check(waiting.size() >= kReplyHeaderSize);
        Check(call.number == kUntouched);
        outcome.refused = true;
        return outcome;
      }
      Check(size >= kReplyHeaderSize && size <= kReplyHeaderSize + 2 * kMaxLocalServerText);
      if (size <= waiting.size()) {
        Check(Encode(call) == waiting.substr(0, size));
        outcome.used += size;
        break;
      }
      Check(call.number == kUntouched && call.text.empty());
      if (arrived == stream.size()) return outcome;  // the stream ended inside this reply
      arrived = std::min(arrived + piece, stream.size());
    }
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t count = 1 + data[0] % 8;
  const size_t piece = 1 + data[0] / 8;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  const Outcome whole = Read(stream, count, stream.size() + 1);
  const Outcome pieces = Read(stream, count, piece);
  Check(pieces.used == whole.used && pieces.refused == whole.refused);
  for (size_t i = 0; i < count; ++i) {
    Check(pieces.calls[i].result == whole.calls[i].result &&
          pieces.calls[i].number == whole.calls[i].number &&
          pieces.calls[i].text == whole.calls[i].text);
  }
  return 0;
}
