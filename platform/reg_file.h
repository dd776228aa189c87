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

// Writes `changes` as .reg text: the header, then a key line for each kCreateKey ([KEY])
// and kDeleteKey ([-KEY]), each followed by the lines of the value changes after it and a
// blank line. A value change of another key than the last key line's gets a [KEY] line of
// its own. ParseRegFile reads the text back into the same changes when each value change
// follows a kCreateKey of its key, as ParseRegFile gives them. False, with `text` unchanged,
// when a name holds a line break, which the format cannot carry.
bool WriteRegFile(const std::vector<RegistryChange>& changes, std::string* text);

// Writes key `subkey` of `hive` and everything below it as .reg text (WriteRegFile), keys
// in name order, each followed by its values in name order. Results as the hive's calls;
// in addition kErrorInvalidParameter when a name holds a line break.
uint32_t ExportRegFile(Hive& hive, std::string_view subkey, std::string* text);

// Reads `text`, an even number of hex digits in either case and nothing else, as the bytes
// it spells: the REG_BINARY data of cvreg's command line, a JSON line's "binary". False
// otherwise.
bool ParseHexDigits(std::string_view text, std::string* bytes);

}  // namespace platform

#endif  // PLATFORM_REG_FILE_H_
