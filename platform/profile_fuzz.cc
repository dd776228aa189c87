// libFuzzer target for the ini reader. The input is a buffer size (first byte), a section
// name and a key name (each ended by a NUL) and the file's contents. The value found must be
// cut to the buffer and terminated, must come from one line of the file (or be the
// default), and must not depend on the case of the names asked for.
//
// Thread safety: libFuzzer calls in from one thread; the one file is reused.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/profile.h"

namespace {

constexpr char kDefault[] = "dflt";

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The file the reader reads, held in memory and rewritten for every input.
const std::string& FilePath() {
  static const std::string path = [] {
    const int fd = memfd_create("profile_fuzz.ini", MFD_CLOEXEC);
    Check(fd >= 0);
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

void WriteFile(std::string_view contents) {
  const int fd = std::stoi(FilePath().substr(FilePath().rfind('/') + 1));
  Check(ftruncate(fd, 0) == 0);
  Check(pwrite(fd, contents.data(), contents.size(), 0) == static_cast<ssize_t>(contents.size()));
}

std::string Read(const std::string& section, const std::string& key, uint32_t size) {
  std::string buffer(size + 1, '\x7f');
  const uint32_t count = platform::GetPrivateProfileString(
      section.c_str(), key.c_str(), kDefault, buffer.data(), size, FilePath().c_str());
  if (size == 0) {
    Check(count == 0 && buffer[0] == '\x7f');
    return "";
  }
  Check(count < size && buffer[count] == '\0');
  return buffer.substr(0, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (in.empty()) return 0;
  const uint32_t buffer_size = static_cast<unsigned char>(in[0]);
  in.remove_prefix(1);
  const size_t section_end = in.find('\0');
  if (section_end == std::string_view::npos) return 0;
  const size_t key_end = in.find('\0', section_end + 1);
  if (key_end == std::string_view::npos) return 0;
  const std::string section(in.substr(0, section_end));
  const std::string key(in.substr(section_end + 1, key_end - section_end - 1));
  const std::string_view contents = in.substr(key_end + 1);
  WriteFile(contents);

  // Room for anything the file or the default can give.
  const auto large = static_cast<uint32_t>(std::max(contents.size(), sizeof kDefault) + 1);
  const std::string whole = Read(section, key, large);
  Check(whole == kDefault || contents.find(whole) != std::string_view::npos);
  Check(whole.find('\n') == std::string::npos);
  Check(Read(section, key, buffer_size) == whole.substr(0, buffer_size == 0 ? 0 : buffer_size - 1));
  Check(Read(Upper(section), Upper(key), large) == whole);
  return 0;
}
