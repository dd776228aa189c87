// libFuzzer target for OID text as it comes from outside: cvmactl's command line and lines,
// the policy library's OID calls, the agent's packed OIDs, and the order export sorts by.
// The input is split at its first two NULs into up to three OIDs. A valid OID must be taken
// by the policy library exactly when the codec takes it, read back the same, and pack and
// unpack unchanged; the export order must be a strict total order on valid OIDs.
//
// Thread safety: libFuzzer calls in from one thread; the handles are reused.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "standins/cvmactl/json_line.h"
#include "standins/agent_api/cvpmapi.h"
#include "standins/wire/wire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Dotted arcs of digits, at most the library's length, and for patterns a final ".*".
void CheckValidity(const std::string& oid) {
  const bool valid = wire::IsValidOid(oid, false);
  const bool pattern = wire::IsValidOid(oid, true);
  Check(!valid || pattern);
  if (pattern) {
    Check(!oid.empty() && oid.size() <= VMP_MAX_OID_LENGTH && IsDigit(oid.front()));
    const std::string_view arcs =
        valid ? std::string_view(oid) : std::string_view(oid).substr(0, oid.size() - 2);
    Check(valid || oid.ends_with(".*"));
    Check(IsDigit(arcs.back()) && arcs.find("..") == std::string_view::npos);
    for (char c : arcs) Check(IsDigit(c) || c == '.');
  }

  static const uint32_t variable = [] {
    uint32_t handle = 0;
    Check(VmpCreatePolicyVar(&handle) == VMP_OK);
    return handle;
  }();
  // The library reads C strings: an inner NUL ends the OID there.
  const std::string text = oid.substr(0, oid.find('\0'));
  const bool text_valid = wire::IsValidOid(text, false);
  Check((VmpSetOID(variable, text.c_str()) == VMP_OK) == text_valid);
  char copy[VMP_MAX_OID_LENGTH + 1];
  if (text_valid) {
    Check(VmpCopyOID(variable, copy, sizeof copy) == VMP_OK && text == copy);
  }
  uint32_t destination = 0;
  const bool made = VmpCreatePolicyOID(text.c_str(), &destination) == VMP_OK;
  Check(made == wire::IsValidOid(text, true));
  if (made) VmpClose(destination);

  if (pattern) {
    std::string packed, decoded;
    wire::EncodePackedOid(oid, &packed);
    std::string_view cursor = packed;
    Check(wire::DecodePackedOid(&cursor, &decoded, true) && cursor.empty() && decoded == oid);
    cursor = packed;
    Check(wire::DecodePackedOid(&cursor, &decoded, false) == valid);
  }
}

void CheckOrder(const std::vector<std::string>& oids) {
  for (const std::string& a : oids) {
    Check(!cvmactl::OidLess(a, a));
    for (const std::string& b : oids) {
      const bool less = cvmactl::OidLess(a, b), greater = cvmactl::OidLess(b, a);
      Check(!(less && greater) && (less || greater || a == b));
      for (const std::string& c : oids)
        if (less && cvmactl::OidLess(b, c)) Check(cvmactl::OidLess(a, c));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> valid;
  for (int part = 0; part < 3; ++part) {
    const size_t end = part == 2 ? in.size() : std::min(in.find('\0'), in.size());
    const std::string oid(in.substr(0, end));
    in.remove_prefix(std::min(end + 1, in.size()));
    CheckValidity(oid);
    if (wire::IsValidOid(oid, false)) valid.push_back(oid);
  }
  CheckOrder(valid);
  return 0;
}
