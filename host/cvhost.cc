// cvhost: a threaded host for the extensions. It embeds a thread-safe PHP (the embed SAPI,
// linked statically) and runs PHP requests on several threads at once, the way the
// multi-threaded web server the extensions were made for serves pages: one process, module
// start-up once, then many requests in parallel, each on a thread of its own.
//
//   cvhost [-c FILE] [-d KEY=VALUE]... [-t THREADS] [-n REQUESTS] [-s SECONDS] [-q]
//          [-o BYTES] SCRIPT.php [SCRIPT.php...]
//
// Each thread runs its requests one after another; request r of thread t runs script
// (t + r) mod k of the k scripts. A request sees $_SERVER['CVHOST_THREAD'] (0-based),
// 'CVHOST_THREADS', 'CVHOST_REQUEST' (0-based, within the thread) and 'CVHOST_REQUESTS'
// (0 with -s). After each request one line goes to standard output:
//
//   request thread=T n=R script=PATH result=ok|exit|fatal|startup status=N ms=F bytes=N
//           digest=HEX16 out="..."
//
// `result` is ok (the script ran to its end, or exit(0)), exit (exit status N, not 0),
// fatal (a fatal error or an uncaught exception: status 255) or startup (the request did not
// start). `out` is what the request printed (warnings included: display_errors=1 and
// log_errors=0 unless -c or -d say otherwise), JSON-escaped and cut after -o bytes (default
// 4096; the digest, FNV-1a, and the byte count are of the whole output). -q prints the lines
// of requests that did not end ok only; -s runs each thread's requests for SECONDS instead of
// -n REQUESTS. No php.ini is read but the -c FILE. The run ends with
//
//   summary threads=T requests=N ok=N failed=N seconds=F requests_per_second=F
//
// and exits 0 when every request ended ok, 1 when any did not, 2 when the host could not
// start: a usage error, or any message of PHP's start-up (an extension that would not load),
// which goes to standard error.
//
// Thread safety: PHP's own state is per thread (TSRM); the host's shared state is the
// output stream, written one whole line at a time under a mutex, and the counters, atomics.
#include <dlfcn.h>
#include <getopt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sapi/embed/php_embed.h"
// php.h puts PHP's own formatter in place of snprintf; the host's lines are plain C.
#undef snprintf

namespace {

// The embed SAPI's own fixed settings, before the -d ones.
constexpr char kFixedIni[] =
    "html_errors=0\n"
    "register_argc_argv=1\n"
    "implicit_flush=1\n"
    "output_buffering=0\n"
    "max_execution_time=0\n"
    "max_input_time=-1\n";

struct Options {
  std::string ini_file;               // -c
  std::vector<std::string> defines;   // -d
  int threads = 1;                    // -t
  long requests = 1;                  // -n, per thread
  double seconds = 0;                 // -s: run until then instead of -n requests
  bool quiet = false;                 // -q: lines of failed requests only
  size_t output_limit = 4096;         // -o
  std::vector<std::string> scripts;
};

Options options;

// What the running request of this thread is, for the SAPI callbacks.
struct RequestContext {
  int thread = 0;
  long number = 0;
  const std::string* script = nullptr;
  std::string output;
};
thread_local RequestContext* current = nullptr;

std::mutex output_mutex;
std::atomic<long> requests_done{0};
std::atomic<long> requests_failed{0};

size_t CaptureWrite(const char* text, size_t length) {
  if (current != nullptr) current->output.append(text, length);
  return length;
}

void CaptureFlush(void*) {}

// What PHP logged outside any request: while it started, every error it met (it logs
// them all then, whatever log_errors says), such as an extension that would not load.
std::atomic<int> startup_messages{0};

// error_log() without a log file, and errors with log_errors=1: into the request's output.
void CaptureLog(const char* message, int) {
  if (current != nullptr) {
    current->output.append(message);
    current->output.push_back('\n');
  } else {
    startup_messages.fetch_add(1);
    std::fprintf(stderr, "%s\n", message);
  }
}

void RegisterVariables(zval* track_vars) {
  php_import_environment_variables(track_vars);
  if (current == nullptr) return;
  const auto put = [track_vars](const char* name, long value) {
    const std::string text = std::to_string(value);
    php_register_variable(name, text.c_str(), track_vars);
  };
  put("CVHOST_THREAD", current->thread);
  put("CVHOST_THREADS", options.threads);
  put("CVHOST_REQUEST", current->number);
  put("CVHOST_REQUESTS", options.seconds > 0 ? 0 : options.requests);
  php_register_variable("SCRIPT_FILENAME", current->script->c_str(), track_vars);
  php_register_variable("SCRIPT_NAME", current->script->c_str(), track_vars);
  php_register_variable("PHP_SELF", current->script->c_str(), track_vars);
}

// Defaults an ini file (-c) may change: errors are shown in the request's output once.
void IniDefaults(HashTable* configuration) {
  const auto set = [configuration](const char* name, const char* value) {
    zval text;
    ZVAL_NEW_STR(&text, zend_string_init(value, std::strlen(value), 1));
    zend_hash_str_update(configuration, name, std::strlen(name), &text);
  };
  set("display_errors", "1");
  set("log_errors", "0");
}

sapi_module_struct host_module;

// One -d KEY=VALUE as a line of ini text, as PHP's CLI writes it: a value that does not
// start with a letter, a digit or a quote is quoted; a bare KEY means KEY=1.
std::string IniLine(const std::string& define) {
  const size_t equals = define.find('=');
  if (equals == std::string::npos) return define + "=1\n";
  const std::string value = define.substr(equals + 1);
  const unsigned char first = value.empty() ? 0 : static_cast<unsigned char>(value[0]);
  if (first == 0 || std::isalnum(first) || first == '"' || first == '\'') return define + "\n";
  return define.substr(0, equals) + "=\"" + value + "\"\n";
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

void AppendJsonString(std::string* line, const std::string& text, size_t limit) {
  line->push_back('"');
  const size_t end = std::min(limit, text.size());
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': line->append("\\\""); break;
      case '\\': line->append("\\\\"); break;
      case '\n': line->append("\\n"); break;
      case '\r': line->append("\\r"); break;
      case '\t': line->append("\\t"); break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          line->append(escaped);
        } else {
          line->push_back(static_cast<char>(c));  // UTF-8 bytes pass as they are
        }
    }
  }
  if (end < text.size()) line->append("...");
  line->push_back('"');
}

constexpr int kFatalErrors =
    E_ERROR | E_CORE_ERROR | E_COMPILE_ERROR | E_USER_ERROR | E_PARSE | E_RECOVERABLE_ERROR;

// Runs one request of `context` on this thread and reports it.
void RunRequest(RequestContext* context) {
  current = context;
  context->output.clear();
  const auto start = std::chrono::steady_clock::now();
  const char* result = "ok";
  int status = 0;

  char* argv[] = {const_cast<char*>(context->script->c_str()), nullptr};
  SG(options) |= SAPI_OPTION_NO_CHDIR;
  SG(request_info).argc = 1;
  SG(request_info).argv = argv;
  if (php_request_startup() == FAILURE) {
    result = "startup";
    status = -1;
  } else {
    SG(headers_sent) = 1;
    SG(request_info).no_headers = 1;
    EG(exit_status) = 0;  // the previous request's stays otherwise
    zend_first_try {
      zend_file_handle file;
      zend_stream_init_filename(&file, context->script->c_str());
      file.primary_script = 1;
      php_execute_script(&file);
      zend_destroy_file_handle(&file);
    } zend_end_try();
    status = EG(exit_status);
    if (status != 0) {
      const bool fatal = PG(last_error_message) != nullptr && (PG(last_error_type) & kFatalErrors) != 0;
      result = fatal ? "fatal" : "exit";
    }
    php_request_shutdown(nullptr);
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  current = nullptr;

  const bool ok = std::strcmp(result, "ok") == 0;
  requests_done.fetch_add(1, std::memory_order_relaxed);
  if (!ok) requests_failed.fetch_add(1, std::memory_order_relaxed);
  if (ok && options.quiet) return;

  char head[256];
  std::snprintf(head, sizeof head, "request thread=%d n=%ld script=", context->thread, context->number);
  std::string line(head);
  line.append(*context->script);
  std::snprintf(head, sizeof head, " result=%s status=%d ms=%.3f bytes=%zu digest=%016" PRIx64 " out=",
                result, status, ms, context->output.size(), Fnv1a(context->output));
  line.append(head);
  AppendJsonString(&line, context->output, options.output_limit);
  line.push_back('\n');
  std::lock_guard lock(output_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// The start of the run: every thread has its PHP state before the first request starts.
struct StartLine {
  std::latch prepared;
  std::latch go{1};
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  explicit StartLine(int threads) : prepared(threads) {}
};

void Worker(int thread, StartLine* start) {
  (void)ts_resource(0);
  start->prepared.count_down();
  start->go.wait();
  RequestContext context;
  context.thread = thread;
  const size_t scripts = options.scripts.size();
  for (long r = 0;; ++r) {
    if (options.seconds > 0 ? std::chrono::steady_clock::now() >= start->deadline : r >= options.requests) break;
    context.number = r;
    context.script = &options.scripts[(static_cast<size_t>(thread) + static_cast<size_t>(r)) % scripts];
    RunRequest(&context);
  }
  ts_free_thread();
}

[[noreturn]] void Usage(const char* why) {
  if (why != nullptr) std::fprintf(stderr, "cvhost: %s\n", why);
  std::fprintf(stderr,
               "usage: cvhost [-c FILE] [-d KEY=VALUE]... [-t THREADS] [-n REQUESTS] [-s SECONDS]\n"
               "              [-q] [-o BYTES] SCRIPT.php [SCRIPT.php...]\n");
  std::exit(2);
}

bool ParsePositive(const char* text, long* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 1) return false;
  *value = parsed;
  return true;
}

void ParseOptions(int argc, char** argv) {
  int option;
  long number;
  while ((option = getopt(argc, argv, "c:d:t:n:s:qo:h")) != -1) {
    switch (option) {
      case 'c': options.ini_file = optarg; break;
      case 'd': options.defines.emplace_back(optarg); break;
      case 't':
        if (!ParsePositive(optarg, &number) || number > 1024) Usage("-t takes 1 to 1024 threads");
        options.threads = static_cast<int>(number);
        break;
      case 'n':
        if (!ParsePositive(optarg, &number)) Usage("-n takes a positive number of requests");
        options.requests = number;
        break;
      case 's': {
        char* end = nullptr;
        options.seconds = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(options.seconds > 0)) Usage("-s takes a positive number of seconds");
        break;
      }
      case 'q': options.quiet = true; break;
      case 'o':
        if (!ParsePositive(optarg, &number)) Usage("-o takes a positive number of bytes");
        options.output_limit = static_cast<size_t>(number);
        break;
      case 'h': Usage(nullptr);
      default: Usage(nullptr);
    }
  }
  for (int i = optind; i < argc; ++i) options.scripts.emplace_back(argv[i]);
  if (options.scripts.empty()) Usage("no script");
}

}  // namespace

#ifdef CVHOST_NO_DEEPBIND
// Linked with --wrap=dlopen: the engine's dlopen of an extension comes here. Without deep
// binding an extension resolves its symbols from the global scope first, where the
// sanitizer runtime's interceptors are; the extensions export nothing but get_module.
extern "C" void* __real_dlopen(const char* file, int mode);
extern "C" void* __wrap_dlopen(const char* file, int mode) {
  return __real_dlopen(file, mode & ~RTLD_DEEPBIND);
}
#endif

int main(int argc, char** argv) {
  ParseOptions(argc, argv);

  host_module = php_embed_module;
  host_module.ub_write = CaptureWrite;
  host_module.flush = CaptureFlush;
  host_module.log_message = CaptureLog;
  host_module.register_server_variables = RegisterVariables;
  host_module.ini_defaults = IniDefaults;
  host_module.executable_location = argv[0];
  host_module.php_ini_ignore_cwd = 1;

  php_tsrm_startup();
  zend_signal_startup();
  sapi_startup(&host_module);  // clears ini_entries and the ini file settings
  std::string ini(kFixedIni);
  for (const std::string& define : options.defines) ini += IniLine(define);
  // Start-up errors are then logged, so that the host sees them (CaptureLog).
  ini += "display_startup_errors=0\n";
  host_module.ini_entries = strdup(ini.c_str());  // PHP reads it until the end
  // No php.ini is read but the one given with -c.
  if (options.ini_file.empty()) {
    host_module.php_ini_ignore = 1;
  } else {
    host_module.php_ini_path_override = options.ini_file.data();
  }

  int exit_status = 2;
  if (host_module.startup(&host_module) == FAILURE) {
    std::fprintf(stderr, "cvhost: PHP did not start\n");
  } else if (startup_messages.load() != 0) {
    // An extension that would not load is only a start-up warning to PHP; here it ends
    // the run, as does any other message of the start-up.
    std::fprintf(stderr, "cvhost: PHP reported errors while starting up\n");
    php_module_shutdown();
  } else {
    StartLine start_line(options.threads);
    std::vector<std::thread> workers;
    workers.reserve(options.threads);
    for (int t = 0; t < options.threads; ++t) workers.emplace_back(Worker, t, &start_line);
    start_line.prepared.wait();
    const auto start = std::chrono::steady_clock::now();
    if (options.seconds > 0) {
      start_line.deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(options.seconds));
    }
    start_line.go.count_down();
    for (std::thread& worker : workers) worker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long done = requests_done.load();
    const long failed = requests_failed.load();
    std::printf("summary threads=%d requests=%ld ok=%ld failed=%ld seconds=%.3f requests_per_second=%.1f\n",
                options.threads, done, done - failed, failed, seconds, seconds > 0 ? done / seconds : 0.0);
    std::fflush(stdout);
    php_module_shutdown();
    exit_status = failed == 0 ? 0 : 1;
  }
  sapi_shutdown();
  tsrm_shutdown();
  std::free(host_module.ini_entries);
  return exit_status;
}
