// cvmactl: the operator's tool for the management agent's policy store. It goes through the
// client libraries (a libcvma32 session to the policy manager, libcvpmapi variables and
// packages) and moves variables in and out as one JSON object a line (json_line.h).
//
//   cvmactl [--root DIR] import FILE|-
//   cvmactl [--root DIR] export
//   cvmactl [--root DIR] get OID
//   cvmactl [--root DIR] set OID --int N | --string TEXT [--create]
//   cvmactl [--root DIR] restrict OID FLAGS [--cell ROW COLUMN FLAGS]...
//   cvmactl [--root DIR] delete OID
//
// An import reads and checks the whole file before anything is sent, then sends every
// variable in one message: the agent applies all of them or none. The agent's set makes a
// variable it does not know, as the products rely on; an operator's set changes only a
// variable that exists, unless --create says otherwise. It asks for the variable first,
// on the same session, so a variable deleted between the two messages is made again.
//
// Exit status: 0 success, 1 the operation failed, 2 the command line is wrong.
//
// Thread safety: a single-threaded program.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine_root.h"
#include "standins/cvmactl/json_line.h"
#include "standins/agent_api/cvma32.h"
#include "standins/agent_api/cvpmapi.h"
#include "standins/wire/wire.h"

namespace cvmactl {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr uint32_t kTimeoutMs = 60000;

constexpr const char* kUsage =
    "Usage:\n"
    "  cvmactl [--root DIR] import FILE|-\n"
    "  cvmactl [--root DIR] export\n"
    "  cvmactl [--root DIR] get OID\n"
    "  cvmactl [--root DIR] set OID --int N | --string TEXT [--create]\n"
    "  cvmactl [--root DIR] restrict OID FLAGS [--cell ROW COLUMN FLAGS]...\n"
    "  cvmactl [--root DIR] delete OID\n"
    "FLAGS are decimal or 0x hex: 1 hidden, 2 final, 0x10 table final.\n"
    "Lines of import and export: {\"oid\":\"1.2.3\",\"int\":5}, \"string\":\"...\",\n"
    "\"binary\":\"00ff\" or \"columns\":[8,4],\"rows\":[[1,\"a\"]], with optional\n"
    "\"restriction\":FLAGS and, for tables, \"cells\":[[ROW,COLUMN,FLAGS],...].\n";

// Prints `message` as the reason the run fails.
bool Report(const std::string& message) {
  std::fprintf(stderr, "cvmactl: %s\n", message.c_str());
  return false;
}

int Fail(const std::string& message) {
  Report(message);
  return kExitFailure;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "cvmactl: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

std::string StatusText(uint32_t status) {
  switch (status) {
    case wire::kStatusUnknownOid:
      return "unknown OID";
    case wire::kStatusRefused:
      return "refused: final or hidden";
    case wire::kStatusMalformed:
      return "malformed request";
    case wire::kStatusUnknownMessage:
      return "the agent does not know this request";
    case wire::kStatusWrongDestination:
      return "wrong destination";
    case wire::kStatusStorage:
      return "storage failure";
    case wire::kStatusTypeMismatch:
      return "type mismatch";
    default:
      return "status " + std::to_string(status);
  }
}

std::string SocketPath() { return platform::MachineFile(wire::kAgentSocket); }

bool ParseInt32(std::string_view text, int32_t* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// Decimal or 0x hex.
bool ParseUint32(std::string_view text, uint32_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool IsVariableOid(const std::string& oid) { return wire::IsValidOid(oid, false); }

std::string PackedOid(const std::string& oid) {
  std::string body;
  wire::EncodePackedOid(oid, &body);
  return body;
}

// A session to the policy manager. Every failure is printed where it happens.
class Agent {
 public:
  Agent() = default;
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;
  ~Agent() {
    if (destination_ != 0) VmpClose(destination_);
    if (session_ != 0) CVMACloseSession(session_);
  }

  bool Open() {
    const int32_t opened = CVMAOpenSession(nullptr, &session_);
    if (opened == CVMA_E_CONNECT) return Report("the agent is not running (" + SocketPath() + ")");
    if (opened == CVMA_E_ACCESS) return Report("permission denied (" + SocketPath() + ")");
    if (opened == CVMA_E_WRONG_SERVER)
      return Report("refused: the socket is not served by the agent's account (" + SocketPath() +
                    ")");
    if (opened != CVMA_OK)
      return Report("cannot open a session (error " + std::to_string(opened) + ")");
    if (VmpCreatePolicyOID(wire::kPolicyManagerOid, &destination_) != VMP_OK)
      return Report("cannot make the policy manager's address");
    return true;
  }

  // Sends `body` as message `message_id` and splits the reply into `status` and the bytes
  // after it.
  bool Exchange(uint32_t message_id, std::string_view body, uint32_t* status,
                std::string* payload) {
    if (body.size() > wire::kMaxFrameBody) return Report("the request is too large");
    const uint32_t message = CVMACreateMessage(message_id);
    if (message == 0) return Report("out of memory");
    const bool ok = Send(message, body, status, payload);
    CVMADeleteMessage(message);
    return ok;
  }

 private:
  bool Send(uint32_t message, std::string_view body, uint32_t* status, std::string* payload) {
    if (!body.empty() &&
        CVMASetMessageData(message, body.data(), static_cast<uint32_t>(body.size())) != CVMA_OK)
      return Report("cannot attach the request");
    switch (const uint32_t sent = CVMASendMessage(session_, destination_, message, kTimeoutMs)) {
      case CVMA_SEND_OK:
        break;
      case CVMA_SEND_NO_AGENT:
        return Report("the agent is not running (" + SocketPath() + ")");
      case CVMA_SEND_TIMEOUT:
        return Report("the agent did not answer within " + std::to_string(kTimeoutMs / 1000) +
                      " s");
      case CVMA_SEND_BROKEN:
        return Report("the connection to the agent broke");
      case CVMA_SEND_REFUSED:
        return Report("the agent refused the request (not admitted?)");
      default:
        return Report("sending failed (status " + std::to_string(sent) + ")");
    }
    const uint32_t size = CVMAGetResponseDataSize(message);
    const void* data = CVMAGetResponseDataBuffer(message);
    std::string_view reply =
        data == nullptr ? "" : std::string_view(static_cast<const char*>(data), size);
    if (!wire::GetU32(&reply, status)) return Report("the agent's reply is malformed");
    payload->assign(reply);
    return true;
  }

  uint32_t session_ = 0;
  uint32_t destination_ = 0;
};

// One exchange whose reply carries nothing but a status; `what` names it in messages.
int Request(uint32_t message_id, const std::string& body, const std::string& what) {
  Agent agent;
  uint32_t status;
  std::string payload;
  if (!agent.Open() || !agent.Exchange(message_id, body, &status, &payload)) return kExitFailure;
  return status == wire::kStatusOk ? 0 : Fail(what + ": " + StatusText(status));
}

int Flush() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return Fail(std::string("cannot write the output: ") + std::strerror(errno));
  return 0;
}

bool ReadAll(const std::string& path, std::string* text) {
  FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
  const bool ok = !std::ferror(file);
  const int saved = errno;
  if (file != stdin) std::fclose(file);
  errno = saved;
  return ok;
}

int Import(const std::string& path) {
  const std::string name = path == "-" ? "<stdin>" : path;
  std::string text;
  if (!ReadAll(path, &text)) return Fail(name + ": " + std::strerror(errno));
  std::vector<wire::Variable> variables;
  std::map<std::string, size_t> line_of;
  size_t number = 0;
  for (size_t start = 0; start < text.size(); ++number) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') continue;
    const std::string where = name + ":" + std::to_string(number + 1) + ": ";
    wire::Variable variable;
    std::string error;
    if (!VariableFromLine(line, &variable, &error)) return Fail(where + error);
    const auto [earlier, fresh] = line_of.emplace(variable.oid, number + 1);
    if (!fresh)
      return Fail(where + variable.oid + " is already on line " + std::to_string(earlier->second));
    variables.push_back(std::move(variable));
  }
  if (variables.size() > wire::kMaxVariables)
    return Fail(name + ": more than " + std::to_string(wire::kMaxVariables) + " variables");
  if (!variables.empty()) {
    std::string body;
    wire::EncodeSetPackage(variables, &body);
    if (const int result = Request(wire::kImport, body, "import")) return result;
  }
  std::printf("imported %zu variable%s\n", variables.size(), variables.size() == 1 ? "" : "s");
  return Flush();
}

int Export() {
  Agent agent;
  uint32_t status, count;
  std::string payload;
  if (!agent.Open() || !agent.Exchange(wire::kExport, "", &status, &payload)) return kExitFailure;
  if (status != wire::kStatusOk) return Fail("export: " + StatusText(status));
  std::string_view in = payload;
  std::vector<wire::Variable> variables;
  if (!wire::GetU32(&in, &count)) return Fail("the agent's reply is malformed");
  for (uint32_t i = 0; i < count; ++i)
    if (!wire::DecodeVariable(&in, &variables.emplace_back()))
      return Fail("the agent's reply is malformed");
  if (!in.empty()) return Fail("the agent's reply is malformed");
  std::sort(variables.begin(), variables.end(),
            [](const wire::Variable& a, const wire::Variable& b) { return OidLess(a.oid, b.oid); });
  for (const wire::Variable& variable : variables)
    std::printf("%s\n", VariableToLine(variable).c_str());
  return Flush();
}

int Get(const std::string& oid) {
  Agent agent;
  uint32_t status;
  std::string payload;
  if (!agent.Open() || !agent.Exchange(wire::kGetPolicy, PackedOid(oid), &status, &payload))
    return kExitFailure;
  if (status != wire::kStatusOk) return Fail(oid + ": " + StatusText(status));
  std::string_view in = payload;
  wire::Variable variable;
  if (!wire::DecodeVariable(&in, &variable) || !in.empty())
    return Fail("the agent's reply is malformed");
  std::printf("%s\n", VariableToLine(variable).c_str());
  return Flush();
}

// Builds the set package with the policy library, as any component would. Without `create`
// a variable the agent does not know is refused as unknown.
int Set(const std::string& oid, const std::string& option, const std::string& value, bool create) {
  int32_t number = 0;
  if (option != "--int" && option != "--string") return Usage("expected --int or --string");
  if (option == "--int" && !ParseInt32(value, &number))
    return Usage("not a 32-bit integer: " + value);
  if (option == "--string" && !IsValidUtf8(value)) return Usage("the text is not valid UTF-8");
  uint32_t handle = 0;
  if (VmpCreatePolicyVar(&handle) != VMP_OK) return Fail("out of memory");
  const VmpValue int_value = {VMP_TYPE_INT, number};
  std::string body;
  int32_t result = VmpSetOID(handle, oid.c_str());
  if (result == VMP_OK)
    result =
        option == "--int" ? VmpSetValue(handle, &int_value) : VmpSetStringA(handle, value.c_str());
  void* package = nullptr;
  uint32_t length = 0;
  if (result == VMP_OK &&
      (result = PqhCreatePolicySetPackage(handle, &package, &length)) == VMP_OK) {
    body.assign(static_cast<const char*>(package), length);
    PqhFreeMemory(package);
  }
  VmpClose(handle);
  if (result != VMP_OK)
    return Fail("the policy library failed (error " + std::to_string(result) + ")");
  Agent agent;
  uint32_t status = wire::kStatusOk;
  std::string payload;
  if (!agent.Open() ||
      (!create && !agent.Exchange(wire::kGetPolicy, PackedOid(oid), &status, &payload)))
    return kExitFailure;
  if (status == wire::kStatusOk && !agent.Exchange(wire::kSetPolicy, body, &status, &payload))
    return kExitFailure;
  return status == wire::kStatusOk ? 0 : Fail(oid + ": " + StatusText(status));
}

int Restrict(const std::string& oid, const std::vector<std::string>& args) {
  uint32_t flags;
  if (!ParseUint32(args[0], &flags)) return Usage("not a 32-bit flag word: " + args[0]);
  std::string cells;
  uint32_t count = 0;
  for (size_t i = 1; i < args.size(); i += 4, ++count) {
    if (args[i] != "--cell" || i + 3 >= args.size())
      return Usage("expected --cell ROW COLUMN FLAGS");
    for (size_t k = 1; k <= 3; ++k) {
      uint32_t number;
      if (!ParseUint32(args[i + k], &number)) return Usage("not a 32-bit number: " + args[i + k]);
      wire::PutU32(&cells, number);
    }
  }
  std::string body = PackedOid(oid);
  wire::PutU32(&body, flags);
  wire::PutU32(&body, count);
  return Request(wire::kRestrict, body + cells, oid);
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t at = 0;
  for (; at < args.size() && args[at].starts_with("-"); ++at) {
    if (args[at] == "--help" || args[at] == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (args[at] != "--root" || at + 1 == args.size()) return Usage("unknown option " + args[at]);
    if (args[++at].empty()) return Usage("--root needs a folder");
#ifdef _WIN32
    _putenv_s("CORVANE_ROOT", args[at].c_str());
#else
    setenv("CORVANE_ROOT", args[at].c_str(), 1);
#endif
  }
  if (at == args.size()) return Usage("no command given");
  const std::string command = args[at];
  const std::vector<std::string> rest(args.begin() + at + 1, args.end());
  if (command == "import")
    return rest.size() == 1 ? Import(rest[0]) : Usage("import takes one file");
  if (command == "export") return rest.empty() ? Export() : Usage("export takes no arguments");
  if (command != "get" && command != "set" && command != "restrict" && command != "delete")
    return Usage("unknown command " + command);
  if (rest.empty() || !IsVariableOid(rest[0])) return Usage(command + " needs a variable's OID");
  const std::vector<std::string> more(rest.begin() + 1, rest.end());
  if (command == "get") return more.empty() ? Get(rest[0]) : Usage("get takes one OID");
  if (command == "delete")
    return more.empty() ? Request(wire::kDelete, PackedOid(rest[0]), rest[0])
                        : Usage("delete takes one OID");
  if (command == "set") {
    // --create comes before or after the value, never in place of it.
    const bool create = more.size() == 3 && (more[0] == "--create" || more[2] == "--create");
    const size_t first = create && more[0] == "--create" ? 1 : 0;
    return more.size() == (create ? 3 : 2)
               ? Set(rest[0], more[first], more[first + 1], create)
               : Usage("set OID --int N | --string TEXT [--create]");
  }
  return more.empty() ? Usage("restrict needs FLAGS") : Restrict(rest[0], more);
}

}  // namespace
}  // namespace cvmactl

int main(int argc, char** argv) {
  try {
    return cvmactl::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cvmactl: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "cvmactl: unexpected failure\n");
  }
  return 1;
}
