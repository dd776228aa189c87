// libFuzzer target for the wire decoders and the policy library's unpacking. Every encoding
// is canonical, so whatever decodes must encode back to exactly the bytes it came from, and
// the library must accept a get package exactly when the codec does.
//
// Thread safety: libFuzzer calls in from one thread; the one variable handle is reused.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "standins/agent_api/cvpmapi.h"
#include "standins/wire/wire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void FuzzFrame(std::string_view in) {
  uint32_t length;
  if (in.size() < 4 || !wire::DecodeFrameLength(in.data(), &length)) return;
  std::string_view rest = in.substr(4, length);  // what arrived of it
  wire::Frame frame, again;
  if (!wire::DecodeFrameRest(rest, &frame)) return;
  std::string encoded;
  Check(wire::EncodeFrame(frame, &encoded));
  Check(std::string_view(encoded).substr(4) == rest);
  Check(wire::DecodeFrameRest(std::string_view(encoded).substr(4), &again) && again == frame);
}

void FuzzPackedOid(std::string_view in) {
  std::string_view cursor = in;
  std::string oid;
  if (!wire::DecodePackedOid(&cursor, &oid, true)) return;
  std::string encoded;
  wire::EncodePackedOid(oid, &encoded);
  Check(encoded == in.substr(0, in.size() - cursor.size()));
}

// Returns true when the whole input is one variable.
bool FuzzVariable(std::string_view in) {
  std::string_view cursor = in;
  wire::Variable variable, again;
  if (!wire::DecodeVariable(&cursor, &variable)) return false;
  std::string encoded;
  wire::EncodeVariable(variable, &encoded);
  Check(encoded == in.substr(0, in.size() - cursor.size()));
  std::string_view reread = encoded;
  Check(wire::DecodeVariable(&reread, &again) && reread.empty() && again == variable);
  return cursor.empty();
}

void FuzzSetPackage(std::string_view in) {
  std::vector<wire::Variable> variables;
  if (!wire::DecodeSetPackage(in, &variables)) return;
  std::string encoded;
  wire::EncodeSetPackage(variables, &encoded);
  Check(encoded == in);
}

// The variable as the library would send it, without the count word.
std::string Package(uint32_t handle) {
  void* body = nullptr;
  uint32_t length = 0;
  Check(PqhCreatePolicySetPackage(handle, &body, &length) == VMP_OK && length >= 4);
  std::string bytes(static_cast<const char*>(body) + 4, length - 4);
  PqhFreeMemory(body);
  return bytes;
}

void FuzzUnpack(std::string_view in, bool is_variable) {
  static const uint32_t handle = [] {
    uint32_t created = 0;
    VmpValue value{VMP_TYPE_INT, 7};
    Check(VmpCreatePolicyVar(&created) == VMP_OK && VmpSetOID(created, "1.2.3") == VMP_OK &&
          VmpSetValue(created, &value) == VMP_OK);
    return created;
  }();
  std::string before = Package(handle);
  int32_t result = PqhUnpackPolicyGetPackage(handle, in.data(), static_cast<uint32_t>(in.size()));
  Check(result == (is_variable ? VMP_OK : VMP_E_PACKAGE));
  Check(Package(handle) == (is_variable ? in : std::string_view(before)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  FuzzFrame(in);
  FuzzPackedOid(in);
  FuzzSetPackage(in);
  FuzzUnpack(in, FuzzVariable(in));
  return 0;
}
