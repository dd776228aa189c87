// What the service frame is on every system: the memory budget, the limited log and the
// servers' main.
//
// Thread safety: see service.h.
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <exception>

#include "standins/service/service.h"

namespace service {
namespace {

// How often a message waiting for its share of the budget looks whether to give up.
constexpr auto kBudgetPoll = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

}  // namespace

bool MemoryBudget::Take(size_t bytes, const std::function<bool()>& give_up) {
  if (bytes > total_) return false;
  std::unique_lock lock(mutex_);
  while (total_ - held_ < bytes) {
    if (give_up()) return false;
    freed_.wait_for(lock, kBudgetPoll);
  }
  held_ += bytes;
  return true;
}

bool MemoryBudget::TryTake(size_t bytes) {
  std::lock_guard lock(mutex_);
  if (bytes > total_ - held_) return false;
  held_ += bytes;
  return true;
}

void MemoryBudget::Give(size_t bytes) {
  if (bytes == 0) return;
  {
    std::lock_guard lock(mutex_);
    held_ -= std::min(bytes, held_);
  }
  freed_.notify_all();
}

size_t MemoryBudget::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void Server::LogLimited(const char* format, ...) {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Clock::now().time_since_epoch())
                          .count();
  int64_t last = last_limited_log_.load();
  if (now - last < 1000 || !last_limited_log_.compare_exchange_strong(last, now)) return;
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  Log("%s", line);
}

int Serve(Server* server, const std::string& socket_path, const Startup& startup) {
  std::string error;
  if (!server->Listen(socket_path, &error)) {
    Log("%s", error.c_str());
    return 1;
  }
  Log("serving %s", socket_path.c_str());
  server->Run(startup.stop.get());
  Log("stopped");
  return 0;
}

int Main(const char* name, int (*run)(int, char**), int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", name, error.what());
    return 1;
  }
}

}  // namespace service
