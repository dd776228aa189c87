// What the service frame is on every system: admission by the bounds, a worker thread per
// admitted connection, each running the same loop: measure the next message, wait for its
// share of the memory budget, read it whole within the message time-out, answer it, and send
// the replies as the client takes them. Nothing is read from a client while its unread
// replies are over their bound, so a client that sends and never reads holds at most that
// much (and the one read a channel may have under way). Also the memory budget, the limited
// log and the servers' main. What differs by system is behind service_channel.h.
//
// Thread safety: see service.h. Lock order: connections_mutex_, then a connection's mutex;
// the budget's lock is taken alone. Only a connection's own thread reads or writes its
// channel; other threads end it through its flags, Wake and Sever.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <thread>
#include <utility>

#include "standins/service/service.h"
#include "standins/service/service_channel.h"

namespace service {
namespace {

// How often a message waiting for its share of the budget looks whether to give up.
constexpr auto kBudgetPoll = std::chrono::milliseconds(20);
// A buffer left larger than this by a big message is given back once it is empty.
constexpr size_t kKeptBuffer = 256 * 1024;
// A message that held this much of the budget is followed by giving freed memory back.
constexpr size_t kTrimAfter = 1u << 20;
// Workers kept waiting for the next connection once theirs has ended.
constexpr size_t kWaitingWorkers = 4;

void DropIfLarge(std::string* buffer) {
  buffer->clear();
  if (buffer->capacity() > kKeptBuffer) buffer->shrink_to_fit();
}

}  // namespace

struct Server::Connection {
  Connection(std::unique_ptr<Channel> open, uid_t peer, std::unique_ptr<Session> protocol)
      : channel(std::move(open)), uid(peer), session(std::move(protocol)) {}

  // Bytes queued and not taken by the channel yet.
  size_t UnreadLocked() const { return outbox.size() - sent; }

  const std::unique_ptr<Channel> channel;  // goes with the last owner, never reused under one
  const uid_t uid;
  const std::unique_ptr<Session> session;
  std::mutex mutex;
  std::string outbox;  // replies and notifications; guarded by mutex
  size_t sent = 0;     // of outbox; guarded by mutex
  size_t charged = 0;  // budget held for outbox; guarded by mutex
  std::atomic<bool> stopping{false};
  std::atomic<bool> ended{false};
};

Server::Server(std::vector<gid_t> admitted_groups, SessionFactory make_session, Limits limits)
    : admitted_groups_(std::move(admitted_groups)),
      make_session_(std::move(make_session)),
      limits_(limits),
      budget_(limits.memory_budget) {}

void Server::Adopt(wire::UniqueFd peer, const Session::Peer& credentials) {
  const uid_t uid = credentials.uid;
  Reap(false);
  std::lock_guard lock(connections_mutex_);
  if (connections_.size() >= limits_.max_connections) {
    LogLimited("refusing a connection: %lu are open",
               static_cast<unsigned long>(connections_.size()));
    return;
  }
  const auto held = per_account_.find(uid);
  if (held != per_account_.end() && held->second >= limits_.max_per_account) {
    LogLimited("refusing a connection of uid %u: it holds %lu, its share",
               static_cast<unsigned>(uid), static_cast<unsigned long>(held->second));
    return;
  }
  try {
    std::unique_ptr<Session> session = make_session_();
    session->peer_ = credentials;
    std::unique_ptr<Channel> channel = OpenChannel(std::move(peer));
    if (channel == nullptr) return;
    auto connection = std::make_shared<Connection>(std::move(channel), uid, std::move(session));
    // What may fail comes first, so that nothing is left to undo: the lists' entries, the
    // account's count, and a worker when none waits for this connection.
    std::list<std::shared_ptr<Connection>> listed{connection}, handed{std::move(connection)};
    size_t& count = per_account_[uid];
    if (waiting_workers_ <= unserved_.size()) workers_.emplace_back(&Server::Work, this);
    ++count;
    connections_.splice(connections_.end(), listed);
    unserved_.splice(unserved_.end(), handed);
    handed_.notify_one();
  } catch (const std::exception& error) {
    Log("refusing a connection: %s", error.what());
  }
}

void Server::Work() {
  std::unique_lock lock(connections_mutex_);
  for (;;) {
    ++waiting_workers_;
    handed_.wait(lock, [this] { return stopping_ || !unserved_.empty(); });
    --waiting_workers_;
    if (stopping_) break;
    const std::shared_ptr<Connection> connection = std::move(unserved_.front());
    unserved_.pop_front();
    lock.unlock();
    Serve(connection.get());
    lock.lock();
    connections_.remove(connection);
    if (--per_account_[connection->uid] == 0) per_account_.erase(connection->uid);
    // A few wait for the next connections; the rest of a burst's workers leave.
    if (waiting_workers_ >= kWaitingWorkers) break;
  }
  left_.push_back(std::this_thread::get_id());
}

void Server::Reap(bool all) {
  std::list<std::thread> done;
  {
    std::lock_guard lock(connections_mutex_);
    if (all) {
      stopping_ = true;
      for (const auto& connection : connections_) {
        connection->stopping = true;
        connection->channel->Sever();  // wakes its worker
      }
      unserved_.clear();
      handed_.notify_all();
      done.swap(workers_);
      left_.clear();
    } else {
      for (auto it = workers_.begin(); it != workers_.end() && !left_.empty();) {
        const auto left = std::find(left_.begin(), left_.end(), it->get_id());
        if (left == left_.end()) {
          ++it;
          continue;
        }
        left_.erase(left);
        done.splice(done.end(), workers_, it++);
      }
    }
  }
  for (std::thread& worker : done) worker.join();
}

void Server::Notify(const Session* origin, const std::function<std::string(Session&)>& message) {
  std::vector<std::shared_ptr<Connection>> others;
  {
    std::lock_guard lock(connections_mutex_);
    for (const auto& connection : connections_)
      if (connection->session.get() != origin && !connection->ended) others.push_back(connection);
  }
  for (const auto& connection : others) {
    const std::string bytes = message(*connection->session);
    if (bytes.empty()) continue;
    std::lock_guard lock(connection->mutex);
    if (connection->UnreadLocked() + bytes.size() > limits_.max_unread_reply_bytes ||
        !budget_.TryTake(bytes.size())) {
      LogLimited("disconnecting a session that does not read its notifications");
      connection->channel->Sever();
      continue;
    }
    connection->outbox += bytes;
    connection->charged += bytes.size();
    connection->channel->Wake();
  }
}

void Server::Serve(Connection* connection) {
  Channel& channel = *connection->channel;
  Session& session = *connection->session;
  std::string inbox;  // bytes received and not handled yet, from `start` on
  size_t start = 0;
  size_t size = 0;      // of the message under way, once measured
  size_t reserved = 0;  // budget held for it
  bool measured = false, closing = false;
  Clock::time_point now = Clock::now();
  // A new connection is idle until its first byte (a client library may open its session
  // well before its first message); each account holds only its share of them.
  Clock::time_point message_due = now;
  bool awaiting = false;  // a message under way is due by message_due
  Clock::time_point idle_due = now + limits_.idle_timeout;
  Clock::time_point write_due = now;
  const char* why = nullptr;  // the reason to end, when it is worth a line
  auto give_up = [connection] { return connection->stopping.load(); };
  try {
    for (;;) {
      // Answer every whole message there is, while the client reads its replies.
      std::string replies;
      size_t unread;
      {
        std::lock_guard lock(connection->mutex);
        unread = connection->UnreadLocked();
      }
      while (!closing && unread < limits_.max_unread_reply_bytes) {
        const std::string_view head = std::string_view(inbox).substr(start);
        if (!measured) {
          if (head.empty()) break;
          size_t cost = 0;
          const Session::Measure measure = session.MeasureNext(head, &size, &cost);
          if (measure == Session::Measure::kNeedMore) break;
          if (measure == Session::Measure::kMalformed || size == 0) {
            why = "closing a connection that sent a malformed message";
            break;
          }
          if (!budget_.Take(size + cost, give_up)) {
            why = connection->stopping
                      ? nullptr
                      : "closing a connection whose message exceeds the memory budget";
            break;
          }
          reserved = size + cost;
          measured = true;
          // Waiting for the budget is the server's time, not the client's.
          message_due = Clock::now() + limits_.message_timeout;
          if (start > 0) inbox.erase(0, std::exchange(start, 0));
          inbox.reserve(size + kReadChunk);  // a read may bring the next one's first bytes
          continue;
        }
        if (head.size() < size) break;
        const bool keep = session.Handle(head.substr(0, size), &replies);
        start += size;
        measured = false;
        now = Clock::now();
        idle_due = now + limits_.idle_timeout;
        awaiting = start < inbox.size();
        if (awaiting) {
          message_due = now + limits_.message_timeout;
        } else {
          start = 0;
          DropIfLarge(&inbox);
        }
        if (reserved >= kTrimAfter) GiveBackFreedMemory();
        // The replies take the place of the message in the budget.
        std::lock_guard lock(connection->mutex);
        const size_t kept = std::min(reserved, replies.size());
        budget_.Give(reserved - kept);
        connection->charged += kept;
        reserved = 0;
        if (!keep) closing = true;
        if (connection->UnreadLocked() == 0) write_due = now + limits_.message_timeout;
        connection->outbox += replies;
        unread = connection->UnreadLocked();
        replies.clear();
      }
      if (why != nullptr) break;

      // Send what the client takes now.
      bool writing, broken = false;
      {
        std::lock_guard lock(connection->mutex);
        while (connection->UnreadLocked() > 0) {
          size_t taken = 0;
          if (!channel.Send(std::string_view(connection->outbox).substr(connection->sent),
                            &taken)) {
            broken = true;
            break;
          }
          if (taken == 0) break;
          // What the channel took is no longer ours to hold.
          connection->sent += taken;
          const size_t given = std::min(connection->charged, taken);
          budget_.Give(given);
          connection->charged -= given;
          if (connection->sent > connection->outbox.size() / 2)
            connection->outbox.erase(0, std::exchange(connection->sent, 0));
          write_due = Clock::now() + limits_.message_timeout;
        }
        if (connection->UnreadLocked() == 0 && !connection->outbox.empty()) {
          connection->sent = 0;
          DropIfLarge(&connection->outbox);
          budget_.Give(std::exchange(connection->charged, 0));
        }
        writing = connection->UnreadLocked() > 0;
        unread = connection->UnreadLocked();
      }
      if (broken || (closing && !writing)) break;

      // Wait for the client, or for a notification queued by another thread.
      const bool want_input = !closing && unread < limits_.max_unread_reply_bytes;
      now = Clock::now();
      const Clock::time_point due = writing ? write_due : awaiting ? message_due : idle_due;
      if (now >= due) {
        why = writing    ? "closing a connection that does not read its replies"
              : awaiting ? "closing a connection that stalled in the middle of a message"
                         : nullptr;  // idle: nothing worth a line
        break;
      }
      if (!channel.Wait(want_input, writing, due)) break;
      if (connection->stopping) break;
      size_t got = 0;
      if (!channel.Receive(want_input, &inbox, &got)) break;  // room was made when measured
      if (got > 0 && !awaiting) {
        awaiting = true;
        message_due = Clock::now() + limits_.message_timeout;
      }
    }
  } catch (const std::exception& error) {
    LogLimited("closing a connection: %s", error.what());
  }
  if (why != nullptr) LogLimited("%s", why);
  channel.Close(why == nullptr && !connection->stopping && closing);
  budget_.Give(reserved);
  {
    std::lock_guard lock(connection->mutex);
    budget_.Give(std::exchange(connection->charged, 0));
    connection->outbox.clear();
    connection->outbox.shrink_to_fit();
    connection->sent = 0;
  }
  connection->ended = true;
}

bool AddGroups(const std::string& list, std::vector<gid_t>* groups) {
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, end - start);
    start = end + 1;
    gid_t group = 0;
    if (!name.empty() && name.size() < 10 &&
        name.find_first_not_of("0123456789") == std::string::npos) {
      group = static_cast<gid_t>(std::stoul(name));
    } else if (!GroupByName(name, &group)) {
      Log("unknown group '%s'", name.c_str());
      return false;
    }
    groups->push_back(group);
  }
  return true;
}

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
