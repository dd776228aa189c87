// .reg files: the registry editor's text format ("Windows Registry Editor Version 5.00"),
// read into a batch of changes for Hive::Apply and written from a key subtree.
//
// Reading takes UTF-8 (a byte order mark is skipped) with CRLF or LF line ends. Only the
// local machine hive is known: key lines name HKEY_LOCAL_MACHINE or HKLM. Writing uses
// CRLF line ends, as the registry editor does, and writes every value so that reading it
// back stores the same bytes: a REG_SZ that is not one NUL-terminated line of text (no
// terminator, an inner NUL, a line break) is written as hex(1), a REG_DWORD that is not
// four bytes as hex(4).
//
// Thread safety: no state is kept; ExportRegFile reads through the hive's own thread-safe
// calls (the subtree is read key by key, not as one snapshot).
#ifndef PLATFORM_REG_FILE_H_
#define PLATFORM_REG_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform {

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

// Why a .reg text was refused.
struct RegFileError {
  int line = 0;  // 1-based
  std::string reason;
};

// Reads "HKEY_LOCAL_MACHINE\path" or "HKLM\path" (the root name in any case) into the path
// below the hive, "" for the root itself. False for any other root.
bool ParseMachineKey(std::string_view full_path, std::string* subkey);

// Parses .reg text into its changes, in file order: [KEY] gives kCreateKey, [-KEY]
// kDeleteKey, "name"=- kDeleteValue, every other value line kSetValue. On a malformed line
// returns false with its number and the reason, and leaves `changes` empty.
bool ParseRegFile(std::string_view text, std::vector<RegistryChange>* changes, RegFileError* error);

// Writes key `subkey` of `hive` and everything below it as .reg text, keys in name order,
// each followed by its values in name order. Results as the hive's calls; in addition
// kErrorInvalidParameter when a name holds a line break, which the format cannot carry.
uint32_t ExportRegFile(Hive& hive, std::string_view subkey, std::string* text);

}  // namespace platform

#endif  // PLATFORM_REG_FILE_H_
