// libFuzzer target for .reg import and the hex decoders under it. Whatever ParseRegFile
// takes must write back (with the exporter's own writer) into text that reads as the same
// changes and writes the same text again; whatever it refuses must name a line of the input
// and leave no changes. The same input as plain digit pairs (cvreg's REG_BINARY data, a JSON
// line's "binary") and as the byte list of a hex: value must give exactly the bytes its
// digits spell: a decoder that misreads a byte would still round-trip.
//
// Thread safety: libFuzzer calls in from one thread.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Lower-case digit pairs of `bytes`.
std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

bool SameChanges(const std::vector<platform::RegistryChange>& a,
                 const std::vector<platform::RegistryChange>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].key != b[i].key || a[i].value.name != b[i].value.name)
      return false;
    if (a[i].kind == platform::RegistryChange::Kind::kSetValue &&
        (a[i].value.type != b[i].value.type || a[i].value.data != b[i].value.data))
      return false;
  }
  return true;
}

void FuzzRegFile(std::string_view in) {
  std::vector<platform::RegistryChange> changes, again;
  platform::RegFileError error;
  if (!platform::ParseRegFile(in, &changes, &error)) {
    Check(changes.empty() && error.line >= 1 && !error.reason.empty());
    const auto lines = static_cast<size_t>(std::count(in.begin(), in.end(), '\n')) + 1;
    Check(static_cast<size_t>(error.line) <= lines);
    return;
  }
  for (const platform::RegistryChange& change : changes)
    Check(platform::KeyPathProblem(change.key) == nullptr);
  std::string text, rewritten;
  Check(platform::WriteRegFile(changes, &text));
  Check(platform::ParseRegFile(text, &again, &error));
  Check(SameChanges(changes, again));
  Check(platform::WriteRegFile(again, &rewritten) && rewritten == text);
}

void FuzzDigits(std::string_view in) {
  std::string bytes = "untouched";
  const bool pairs = in.size() % 2 == 0 && std::all_of(in.begin(), in.end(), IsHexDigit);
  Check(platform::ParseHexDigits(in, &bytes) == pairs);
  Check(pairs ? Hex(bytes) == Lower(in) : bytes == "untouched");
}

// The part of `in` that a hex: value starting with it takes: up to the end of the first
// line that does not end in a backslash (blanks and a carriage return after it allowed).
std::string_view ValueExtent(std::string_view in) {
  for (size_t start = 0;;) {
    const size_t end = in.find('\n', start);
    if (end == std::string_view::npos) return in;
    std::string_view line = in.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty() || line.back() != '\\') return in.substr(0, end);
    start = end + 1;
  }
}

// The input as the data of a hex: line. When it is taken, every run of hex digits in the
// value's lines is one item of one or two digits, and the items spell the bytes in order;
// anything else there is a separator (commas, blanks, the backslash and line end of a
// continued line).
void FuzzByteList(std::string_view in) {
  const std::string text = std::string(platform::kRegFileHeader) + "\n[HKLM\\K]\n\"v\"=hex:" +
                           std::string(in) + "\n";
  std::vector<platform::RegistryChange> changes;
  platform::RegFileError error;
  if (!platform::ParseRegFile(text, &changes, &error)) return;
  Check(changes.size() >= 2 && changes[1].value.type == platform::kRegBinary);
  const std::string& bytes = changes[1].value.data;
  in = ValueExtent(in);
  size_t item = 0;
  for (size_t i = 0; i < in.size();) {
    if (!IsHexDigit(in[i])) {
      Check(std::string_view(",\t \\\r\n").find(in[i]) != std::string_view::npos);
      ++i;
      continue;
    }
    size_t end = i;
    while (end < in.size() && IsHexDigit(in[end])) ++end;
    Check(end - i <= 2 && item < bytes.size());
    const std::string digits = (end - i == 1 ? "0" : "") + Lower(in.substr(i, end - i));
    Check(Hex(std::string_view(bytes).substr(item++, 1)) == digits);
    i = end;
  }
  Check(item == bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  FuzzRegFile(in);
  FuzzDigits(in);
  FuzzByteList(in);
  return 0;
}
