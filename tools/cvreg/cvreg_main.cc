// cvreg: the command-line editor of this machine's registry, after reg.exe. It works on
// LocalMachine(), the hive at $CORVANE_ROOT/registry.db.
//
//   cvreg query  KEY [/v NAME | /ve]
//   cvreg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA] [/f]
//   cvreg delete KEY [/v NAME | /ve] /f
//   cvreg import FILE.reg
//   cvreg export KEY FILE.reg [/y]
//
// Exit status: 0 success, 1 the operation failed, 2 the command line is wrong. Nothing is
// ever asked interactively: overwriting needs /f (add) or /y (export), deleting needs /f.
// query and export only read: on a root with no hive they say so and make nothing (a hive
// made by whoever looked first, root say, would then be in the way of corvane-seed).
//
// Thread safety: a single-threaded program.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine_root.h"
#include "platform/reg_file.h"
#include "platform/registry.h"

namespace platform {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage:\n"
    "  cvreg query  KEY [/v NAME | /ve]\n"
    "  cvreg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA] [/f]\n"
    "  cvreg delete KEY [/v NAME | /ve] /f\n"
    "  cvreg import FILE.reg\n"
    "  cvreg export KEY FILE.reg [/y]\n"
    "KEY is HKLM\\path or HKEY_LOCAL_MACHINE\\path.\n";

struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// The file `name` opened for writing in binary; unless `replace`, made anew (EEXIST when it
// exists). The Windows C runtime knows no "x" mode, so there the exclusive create is _open's.
FILE* OpenNewFile(const std::string& name, bool replace) {
#ifdef _WIN32
  if (replace) return std::fopen(name.c_str(), "wb");
  const int fd =
      _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
#else
  return std::fopen(name.c_str(), replace ? "wb" : "wbx");
#endif
}

// The command line: positional arguments and the options found, by lower-case name.
struct CommandLine {
  std::string command;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> options;

  bool Has(const char* option) const { return options.count(option) != 0; }
};

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "ERROR: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  return kExitFailure;
}

int FailWith(uint32_t result) {
  switch (result) {
    case kErrorFileNotFound:
      return Fail("The system was unable to find the specified registry key or value.");
    case kErrorAccessDenied:
      return Fail("Access is denied.");
    case kErrorInvalidParameter:
      return Fail("The parameter is incorrect.");
    default:
      return Fail("The registry could not be read or written (error " + std::to_string(result) +
                  ").");
  }
}

// Reading never makes a hive: on a root without one, query and export say so instead.
bool HiveExists() {
  std::error_code error;
  return std::filesystem::exists(
      std::filesystem::symlink_status(MachineFile("registry.db"), error));
}

int NoHive() {
  return Fail("no hive at " + MachineFile("registry.db") +
              ": run corvane-seed (or cvreg import) first.");
}

int Succeed() {
  std::printf("The operation completed successfully.\n");
  return 0;
}

std::string FullPath(const std::string& path) {
  return path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + path;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case kRegNone:
      return "REG_NONE";
    case kRegSz:
      return "REG_SZ";
    case 2:
      return "REG_EXPAND_SZ";
    case kRegBinary:
      return "REG_BINARY";
    case kRegDword:
      return "REG_DWORD";
    case 7:
      return "REG_MULTI_SZ";
    case 11:
      return "REG_QWORD";
    default:
      return "REG_UNKNOWN";
  }
}

// The data as reg.exe shows it: text up to its terminator, numbers in hex, anything else
// as upper-case hex digits.
std::string FormatData(const RegistryValue& value) {
  const std::string& data = value.data;
  char buffer[32];
  if (value.type == kRegSz || value.type == 2) return data.substr(0, data.find('\0'));
  if (value.type == 7) {
    std::string text;
    for (size_t start = 0; start < data.size() && data[start] != '\0';) {
      size_t end = std::min(data.find('\0', start), data.size());
      if (!text.empty()) text += "\\0";
      text += data.substr(start, end - start);
      start = end + 1;
    }
    return text;
  }
  if ((value.type == kRegDword && data.size() == 4) || (value.type == 11 && data.size() == 8)) {
    unsigned long long number = 0;
    for (size_t i = data.size(); i-- > 0;)
      number = number << 8 | static_cast<unsigned char>(data[i]);
    std::snprintf(buffer, sizeof buffer, "0x%llx", number);
    return buffer;
  }
  std::string hex;
  for (unsigned char byte : data) {
    std::snprintf(buffer, sizeof buffer, "%02X", byte);
    hex += buffer;
  }
  return hex;
}

void PrintValue(const RegistryValue& value) {
  std::printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(),
              TypeName(value.type), FormatData(value).c_str());
}

// Splits argv; options are matched by name, so a path such as /tmp/x.reg stays an argument.
bool Split(int argc, char** argv, CommandLine* line, std::string* problem) {
  // Option name -> whether it takes a value.
  static const std::map<std::string, bool> kOptions = {{"/v", true}, {"/ve", false}, {"/t", true},
                                                       {"/d", true}, {"/f", false},  {"/y", false}};
  line->command = Lower(argv[1]);
  for (int i = 2; i < argc; ++i) {
    auto option = kOptions.find(Lower(argv[i]));
    if (option == kOptions.end()) {
      line->arguments.push_back(argv[i]);
      continue;
    }
    if (line->Has(option->first.c_str())) {
      *problem = option->first + " is given twice.";
      return false;
    }
    std::string& slot = line->options[option->first];
    if (option->second) {
      if (++i == argc) {
        *problem = option->first + " needs a value.";
        return false;
      }
      slot = argv[i];
    }
  }
  return true;
}

// Checks the argument count and options of `line` against what the command accepts.
bool Expect(const CommandLine& line, size_t arguments, std::vector<std::string> allowed,
            std::string* problem) {
  if (line.arguments.size() != arguments) {
    *problem = "Wrong number of arguments for " + line.command + ".";
    return false;
  }
  for (const auto& [option, value] : line.options) {
    if (std::find(allowed.begin(), allowed.end(), option) == allowed.end()) {
      *problem = option + " is not an option of " + line.command + ".";
      return false;
    }
  }
  if (line.Has("/v") && line.Has("/ve")) {
    *problem = "/v and /ve exclude each other.";
    return false;
  }
  return true;
}

bool ParseKey(const std::string& text, std::string* subkey, std::string* problem) {
  if (!ParseMachineKey(text, subkey)) {
    *problem = "Invalid key name \"" + text + "\": it must start with HKLM or HKEY_LOCAL_MACHINE.";
    return false;
  }
  // The hive drops backslashes at either end and refuses a path beyond its limits; this
  // says which limit.
  std::string_view path = *subkey;
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (const char* reason = KeyPathProblem(path)) {
    *problem = std::string("Invalid key name: ") + reason + ".";
    return false;
  }
  return true;
}

// The bytes `text` stands for as a value of `type`.
bool ParseData(uint32_t type, const std::string& text, std::string* data, std::string* problem) {
  if (type == kRegSz) {
    *data = text + '\0';
    return true;
  }
  if (type == kRegDword) {
    errno = 0;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long number = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (text.empty() || text[0] == '-' || text[0] == '+' || *end != '\0' || errno != 0 ||
        number > 0xFFFFFFFFull) {
      *problem = "REG_DWORD data must be a decimal or 0x-hex number below 2^32.";
      return false;
    }
    data->clear();
    for (int i = 0; i < 4; ++i) data->push_back(static_cast<char>(number >> (8 * i)));
    return true;
  }
  if (!ParseHexDigits(text, data)) {
    *problem = "REG_BINARY data must be an even number of hex digits.";
    return false;
  }
  return true;
}

std::string ValueName(const CommandLine& line) {
  return line.Has("/v") ? line.options.at("/v") : std::string();
}

int Query(const CommandLine& line) {
  std::string subkey, problem;
  if (!Expect(line, 1, {"/v", "/ve"}, &problem) || !ParseKey(line.arguments[0], &subkey, &problem))
    return Usage(problem);
  if (!HiveExists()) return NoHive();
  Hive& hive = LocalMachine();
  RegistryKey key;
  uint32_t result = hive.OpenKey(subkey, kKeyRead, &key);
  if (result != kErrorSuccess) return FailWith(result);
  std::vector<RegistryValue> values(1);
  if (line.Has("/v") || line.Has("/ve"))
    result = hive.QueryValue(key, ValueName(line), &values[0]);
  else
    result = hive.EnumValues(key, &values);
  if (result != kErrorSuccess) return FailWith(result);

  std::printf("\n%s\n", FullPath(key.path()).c_str());
  for (const RegistryValue& value : values) PrintValue(value);
  std::printf("\n");
  if (line.Has("/v") || line.Has("/ve")) return 0;
  std::string name;
  for (uint32_t index = 0; (result = hive.EnumKey(key, index, &name)) == kErrorSuccess; ++index)
    std::printf("%s\\%s\n", FullPath(key.path()).c_str(), name.c_str());
  return result == kErrorNoMoreItems ? 0 : FailWith(result);
}

int Add(const CommandLine& line) {
  std::string subkey, problem;
  if (!Expect(line, 1, {"/v", "/ve", "/t", "/d", "/f"}, &problem) ||
      !ParseKey(line.arguments[0], &subkey, &problem))
    return Usage(problem);
  Hive& hive = LocalMachine();
  RegistryKey key;
  // Without a value, add only makes the key. /t or /d alone set the default value.
  if (!line.Has("/v") && !line.Has("/ve") && !line.Has("/t") && !line.Has("/d")) {
    uint32_t result = hive.CreateKey(subkey, kKeyRead, &key);
    return result == kErrorSuccess ? Succeed() : FailWith(result);
  }
  RegistryChange change;
  change.kind = RegistryChange::Kind::kSetValue;
  change.key = subkey;
  change.value.name = ValueName(line);
  static const std::map<std::string, uint32_t> kTypes = {
      {"reg_sz", kRegSz}, {"reg_dword", kRegDword}, {"reg_binary", kRegBinary}};
  const std::string type = line.Has("/t") ? line.options.at("/t") : "REG_SZ";
  auto known = kTypes.find(Lower(type));
  if (known == kTypes.end()) return Usage("Unsupported type \"" + type + "\".");
  change.value.type = known->second;
  const std::string text = line.Has("/d")                   ? line.options.at("/d")
                           : change.value.type == kRegDword ? "0"
                                                            : "";
  if (!ParseData(change.value.type, text, &change.value.data, &problem)) return Usage(problem);

  if (!line.Has("/f") && hive.OpenKey(subkey, kKeyQueryValue, &key) == kErrorSuccess &&
      hive.QueryValue(key, change.value.name, nullptr, nullptr, nullptr) == kErrorSuccess) {
    return Fail("The value " +
                (change.value.name.empty() ? std::string("(Default)") : change.value.name) +
                " exists; add /f to overwrite it.");
  }
  uint32_t result = hive.Apply({change});
  return result == kErrorSuccess ? Succeed() : FailWith(result);
}

int Delete(const CommandLine& line) {
  std::string subkey, problem;
  if (!Expect(line, 1, {"/v", "/ve", "/f"}, &problem) ||
      !ParseKey(line.arguments[0], &subkey, &problem))
    return Usage(problem);
  Hive& hive = LocalMachine();
  if (!line.Has("/f")) return Fail("cvreg does not ask for confirmation; add /f to delete.");
  uint32_t result;
  if (line.Has("/v") || line.Has("/ve")) {
    RegistryKey key;
    result = hive.OpenKey(subkey, kKeySetValue, &key);
    if (result == kErrorSuccess) result = hive.DeleteValue(key, ValueName(line));
  } else {
    result = hive.DeleteTree(subkey);
  }
  return result == kErrorSuccess ? Succeed() : FailWith(result);
}

int Import(const CommandLine& line) {
  std::string problem;
  if (!Expect(line, 1, {}, &problem)) return Usage(problem);
  Hive& hive = LocalMachine();
  const std::string& file_name = line.arguments[0];
  FilePtr file(std::fopen(file_name.c_str(), "rb"));
  if (file == nullptr) return Fail("Cannot open " + file_name + ": " + std::strerror(errno));
  std::string text;
  char buffer[65536];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, count);
  if (std::ferror(file.get())) return Fail("Cannot read " + file_name + ".");

  std::vector<RegistryChange> changes;
  RegFileError error;
  if (!ParseRegFile(text, &changes, &error))
    return Fail(file_name + " line " + std::to_string(error.line) + ": " + error.reason);
  uint32_t result = hive.Apply(changes);
  return result == kErrorSuccess ? Succeed() : FailWith(result);
}

int Export(const CommandLine& line) {
  std::string subkey, problem;
  if (!Expect(line, 2, {"/y"}, &problem) || !ParseKey(line.arguments[0], &subkey, &problem))
    return Usage(problem);
  if (!HiveExists()) return NoHive();
  Hive& hive = LocalMachine();
  std::string text;
  uint32_t result = ExportRegFile(hive, subkey, &text);
  if (result != kErrorSuccess) return FailWith(result);
  const std::string& file_name = line.arguments[1];
  // Created exclusively, so an existing file is never replaced without /y.
  FilePtr file(OpenNewFile(file_name, line.Has("/y")));
  if (file == nullptr && errno == EEXIST)
    return Fail(file_name + " exists; add /y to overwrite it.");
  if (file == nullptr) return Fail("Cannot create " + file_name + ": " + std::strerror(errno));
  if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() ||
      std::fclose(file.release()) != 0)
    return Fail("Cannot write " + file_name + ".");
  return Succeed();
}

int Main(int argc, char** argv) {
  if (argc < 2) return Usage("No command given.");
  const std::string first = Lower(argv[1]);
  if (first == "/?" || first == "-h" || first == "--help") {
    std::printf("%s", kUsage);
    return 0;
  }
  CommandLine line;
  std::string problem;
  if (!Split(argc, argv, &line, &problem)) return Usage(problem);
  using Command = int (*)(const CommandLine&);
  static const std::map<std::string, Command> kCommands = {
      {"query", Query}, {"add", Add}, {"delete", Delete}, {"import", Import}, {"export", Export}};
  auto command = kCommands.find(line.command);
  if (command == kCommands.end()) return Usage("Unknown command \"" + line.command + "\".");
  int status = command->second(line);
  ReleaseLocalMachine();
  return status;
}

}  // namespace
}  // namespace platform

int main(int argc, char** argv) {
  try {
    return platform::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ERROR: %s\n", error.what());
    return 1;
  }
}
