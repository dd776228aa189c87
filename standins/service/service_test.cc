// Tests of the service frame with a small protocol of the test's own (u32 length | bytes,
// echoed back; a message starting with 'B' is answered with kBigReply bytes), the frame
// running in this process. The servers' own protocols: cvmad_test.cc, cvstorage_test.cc;
// the flood of the real agent: cvmad_test.cc.
#include "standins/service/service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>

#include "platform/named_pipe_windows.h"
#include "standins/wire/wire.h"
#else
#include <sys/eventfd.h>
#include <sys/stat.h>

#include "standins/testing/test_agent.h"
#endif

namespace service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using wire::UniqueFd;

constexpr size_t kBigReply = 64 * 1024;

// The client's end, on sockets or on the pipes that stand for them.
#ifdef _WIN32
HANDLE AsHandle(int fd) { return reinterpret_cast<HANDLE>(intptr_t{fd}); }

UniqueFd Connect(const std::string& path) {
  unsigned long error = 0;
  void* pipe = platform::OpenPipe(platform::PipeNameForPath(path), std::chrono::seconds(5), &error);
  return UniqueFd(pipe != nullptr ? static_cast<int>(reinterpret_cast<intptr_t>(pipe)) : -1);
}

// Sends all of `bytes` unless the pipe takes none of them for `wait`.
bool Send(int fd, std::string_view bytes, milliseconds wait = milliseconds(5000)) {
  return platform::PipeWriteAll(AsHandle(fd), bytes.data(), bytes.size(), Clock::now() + wait);
}

// What has come, waiting up to `wait` for it; nothing once the server has ended it.
std::optional<std::string> Receive(int fd, milliseconds wait) {
  char chunk[4096];
  const size_t got = platform::PipeReadSome(AsHandle(fd), chunk, sizeof chunk, Clock::now() + wait);
  DWORD available;
  if (got == 0 && !PeekNamedPipe(AsHandle(fd), nullptr, 0, nullptr, &available, nullptr))
    return std::nullopt;
  return std::string(chunk, got);
}

// True when the server ends the connection within `timeout_ms`, reading nothing.
bool Ends(int fd, int timeout_ms) {
  for (auto end = Clock::now() + milliseconds(timeout_ms); Clock::now() < end;) {
    DWORD available = 0;
    if (!PeekNamedPipe(AsHandle(fd), nullptr, 0, nullptr, &available, nullptr)) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}
#else
constexpr uid_t kNobody = 65534;

UniqueFd Connect(const std::string& path) { return cvmad::testing::ConnectUnix(path); }

bool Send(int fd, std::string_view bytes, milliseconds wait = milliseconds(5000)) {
  pollfd event{fd, POLLOUT, 0};
  return poll(&event, 1, static_cast<int>(wait.count())) == 1 &&
         send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
             static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> Receive(int fd, milliseconds wait) {
  pollfd event{fd, POLLIN, 0};
  char chunk[4096];
  if (poll(&event, 1, static_cast<int>(wait.count())) != 1) return std::string();
  const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
  if (n <= 0) return std::nullopt;
  return std::string(chunk, static_cast<size_t>(n));
}

// True when the server ends the connection within `timeout_ms`. Nothing is read: a client
// that reads would be one that takes its replies.
bool Ends(int fd, int timeout_ms) {
  pollfd event{fd, 0, 0};
  return poll(&event, 1, timeout_ms) == 1 && (event.revents & POLLHUP) != 0;
}
#endif

// The first `size` bytes that come within `timeout_ms`.
std::string ReceiveExactly(int fd, size_t size, int timeout_ms = 5000) {
  std::string got;
  const auto deadline = Clock::now() + milliseconds(timeout_ms);
  while (got.size() < size && Clock::now() < deadline) {
    const std::optional<std::string> more = Receive(fd, milliseconds(50));
    if (!more) break;
    got += *more;
  }
  return got;
}

class EchoSession : public Session {
 public:
  Measure MeasureNext(std::string_view head, size_t* size, size_t* cost) override {
    if (head.size() < 4) return Measure::kNeedMore;
    std::string_view word = head.substr(0, 4);
    uint32_t length;
    wire::GetU32(&word, &length);
    if (length == 0) return Measure::kMalformed;
    *size = 4 + size_t{length};
    *cost = kBigReply;
    return Measure::kKnown;
  }
  bool Handle(std::string_view message, std::string* reply) override {
    if (message[4] == 'B') {
      reply->append(kBigReply, 'b');
    } else {
      reply->append(message);
    }
    return message.substr(4) != "bye";
  }
};

std::string Message(const std::string& text) {
  std::string out;
  wire::PutU32(&out, static_cast<uint32_t>(text.size()));
  return out + text;
}

// The frame serving EchoSessions on a socket in a temporary folder, on a thread of its own.
class Frame {
 public:
  explicit Frame(Limits limits = {}, std::vector<gid_t> groups = {})
      : server_(
            std::move(groups), [] { return std::make_unique<EchoSession>(); }, limits) {}
  ~Frame() { Stop(); }
  // False with the reason in error() when the frame does not listen.
  bool Start() {
    if (!server_.Listen(path(), &error_)) return false;
    thread_ = std::thread([this] { server_.Run(stop_.get()); });
    return true;
  }
  void Stop() {
    if (!thread_.joinable()) return;
#ifdef _WIN32
    EXPECT_TRUE(SetEvent(AsHandle(stop_.get())));
#else
    const uint64_t one = 1;
    EXPECT_EQ(write(stop_.get(), &one, sizeof one), 8);
#endif
    thread_.join();
  }
  std::string dir() const { return dir_.path(); }
  std::string path() const { return dir_.Path("run/test.sock"); }
  Server& server() { return server_; }
  const std::string& error() const { return error_; }

 private:
#ifdef _WIN32
  // A path of its own: only the pipe that stands for it is made.
  class Folder {
   public:
    Folder() {
      static int count = 0;
      path_ = (std::filesystem::temp_directory_path() /
               ("service_test." + std::to_string(GetCurrentProcessId()) + "." +
                std::to_string(++count)))
                  .string();
    }
    const std::string& path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "\\" + name; }

   private:
    std::string path_;
  } dir_;
  UniqueFd stop_{static_cast<int>(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr)))};
#else
  platform::testing::TemporaryFolder dir_{"service_test"};
  UniqueFd stop_{eventfd(0, EFD_CLOEXEC)};
#endif
  std::string error_;
  Server server_;
  std::thread thread_;
};

// The echo of `text` on `fd` within `timeout_ms`.
bool Echoes(int fd, const std::string& text, int timeout_ms = 5000) {
  const std::string message = Message(text);
  return Send(fd, message) && ReceiveExactly(fd, message.size(), timeout_ms) == message;
}

#ifdef _WIN32
// Pipes have no folder: what keeps another server off the name is that the frame refuses a
// name that is served already, and clients check who serves it.
TEST(ServiceTest, RefusesAPipeThatIsServedAlready) {
  Frame frame;
  ASSERT_TRUE(frame.Start()) << frame.error();
  Server other({}, [] { return std::make_unique<EchoSession>(); });
  std::string error;
  EXPECT_FALSE(other.Listen(frame.path(), &error));
  EXPECT_NE(error.find("another server answers on it"), std::string::npos) << error;
  UniqueFd client = Connect(frame.path());
  ASSERT_TRUE(client.valid()) << GetLastError();
  EXPECT_TRUE(Echoes(client.get(), "still the first"));
}

// A path whose pipe name would pass kMaxPipeName cannot be served; one just within can.
TEST(ServiceTest, ServesPathsUpToTheLongestPipeName) {
  const std::string base = "C:\\service_test\\" + std::to_string(GetCurrentProcessId()) + "\\";
  const size_t prefix = platform::PipeNameForPath(base).size();
  const std::string longest = base + std::string(platform::kMaxPipeName - prefix, 'p');
  ASSERT_EQ(platform::PipeNameForPath(longest).size(), platform::kMaxPipeName);
  std::string error;
  Server within({}, [] { return std::make_unique<EchoSession>(); });
  EXPECT_TRUE(within.Listen(longest, &error)) << error;
  Server beyond({}, [] { return std::make_unique<EchoSession>(); });
  EXPECT_FALSE(beyond.Listen(longest + "p", &error));
  EXPECT_NE(error.find("not usable as a socket path"), std::string::npos) << error;
}
#else
TEST(ServiceTest, TheSocketsFolderIsTheServersAlone) {
  Frame frame;
  ASSERT_TRUE(frame.Start()) << frame.error();
  struct stat info;
  ASSERT_EQ(stat((frame.dir() + "/run").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);  // made so, when missing
  ASSERT_EQ(stat(frame.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  frame.Stop();

  // A folder another account could change is refused: the socket could be renamed away.
  for (mode_t mode : {0770, 0703, 01777}) {
    Frame other;
    ASSERT_EQ(mkdir((other.dir() + "/run").c_str(), 0700), 0);
    ASSERT_EQ(chmod((other.dir() + "/run").c_str(), mode), 0);
    EXPECT_FALSE(other.Start()) << std::oct << mode;
    EXPECT_NE(other.error().find("not a folder of this account's alone"), std::string::npos)
        << other.error();
  }
  if (geteuid() == 0) {
    Frame other;
    ASSERT_EQ(mkdir((other.dir() + "/run").c_str(), 0700), 0);
    ASSERT_EQ(chown((other.dir() + "/run").c_str(), kNobody, kNobody), 0);
    EXPECT_FALSE(other.Start());
  }
}

// Admission by account and group, and each account's share of the connections: one account
// holding its share leaves the rest to others.
TEST(ServiceTest, AdmitsByAccountAndSharesConnectionsByAccount) {
  using cvmad::testing::RunAs;
  if (geteuid() != 0) GTEST_SKIP() << "acting as other accounts needs root";
  constexpr gid_t kAdmitted = 12345;
  Frame frame({}, {kAdmitted});
  ASSERT_TRUE(frame.Start()) << frame.error();
  // Opened to everyone, so that the frame's own check of its peers is what is tested.
  ASSERT_EQ(chmod(frame.dir().c_str(), 0711) | chmod((frame.dir() + "/run").c_str(), 0711) |
                chmod(frame.path().c_str(), 0666),
            0);
  auto served = [&](gid_t gid) {
    return RunAs(kNobody, gid, [&] {
      UniqueFd fd = Connect(frame.path());
      return fd.valid() && Echoes(fd.get(), "hello", 1000) ? 0 : 1;
    });
  };
  EXPECT_EQ(served(kNobody), 1);
  EXPECT_EQ(served(kAdmitted), 0);

  std::vector<UniqueFd> held;
  for (size_t i = 0; i < kMaxConnectionsPerAccount; ++i) {
    held.push_back(Connect(frame.path()));
    ASSERT_TRUE(Echoes(held.back().get(), "mine")) << i;
  }
  UniqueFd one_more = Connect(frame.path());
  EXPECT_TRUE(Ends(one_more.get(), 5000));
  EXPECT_EQ(served(kAdmitted), 0);
  held.pop_back();  // a connection that ends gives its place back
  // The frame notices the end when it next looks at that connection: ask again for a while.
  bool again = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       !again && std::chrono::steady_clock::now() < end;) {
    one_more = Connect(frame.path());
    again = Echoes(one_more.get(), "again", 1000);
    if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(again);
}

#endif

#ifdef _WIN32
TEST(ServiceTest, AdmitsByAccountAndSharesConnectionsByAccount) {
  GTEST_SKIP() << "a client of another account needs that account's logon, which this suite "
                  "cannot make (and Wine runs every process as one account)";
}
#endif

TEST(ServiceTest, RefusesConnectionsBeyondTheWholeLimit) {
  // Each verdict comes from the frame (an echo, the end of the connection): the bound only
  // stops a frame that hangs, so it leaves a loaded machine room. A connection admitted
  // beyond the limit would stay open until the idle timeout, far past it.
  constexpr int kHangMs = 30000;
  static_assert(kIdleTimeout > milliseconds(4 * kHangMs));
  Limits limits;
  limits.max_per_account = kMaxConnections;
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  std::vector<UniqueFd> held;
  for (size_t i = 0; i < kMaxConnections; ++i) {
    held.push_back(Connect(frame.path()));
    ASSERT_TRUE(Echoes(held.back().get(), "x", kHangMs)) << i;
  }
  UniqueFd one_more = Connect(frame.path());
  EXPECT_TRUE(Ends(one_more.get(), kHangMs));
}

TEST(ServiceTest, EndsIdleStalledAndSilentConnections) {
  Limits limits;
  limits.idle_timeout = milliseconds(300);
  limits.message_timeout = milliseconds(150);
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  UniqueFd idle = Connect(frame.path()), stalled = Connect(frame.path()),
           silent = Connect(frame.path());
  ASSERT_TRUE(Echoes(idle.get(), "then nothing"));
  ASSERT_TRUE(Send(stalled.get(), std::string_view("\x09\0\0\0half", 8)));
  const auto start = Clock::now();
  EXPECT_TRUE(Ends(stalled.get(), 2000));
  EXPECT_GE(Clock::now() - start, milliseconds(140));
  EXPECT_LT(Clock::now() - start, milliseconds(280));
  EXPECT_TRUE(Ends(idle.get(), 2000));
  EXPECT_TRUE(Ends(silent.get(), 2000));  // a connection that never sent is idle too
  EXPECT_GE(Clock::now() - start, milliseconds(280));
  // A client that sends a whole message at a time is never idle.
  UniqueFd busy = Connect(frame.path());
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(Echoes(busy.get(), "still here")) << i;
  }
}

// A client that sends and never reads: the frame stops reading from it once its unread
// replies pass the bound, holds no more than that, and ends it when its replies do not move.
TEST(ServiceTest, StopsReadingFromAClientThatDoesNotReadItsReplies) {
  Limits limits;
  // Long enough that a loaded machine does not end the connection before it is looked at.
  limits.message_timeout = milliseconds(2000);
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  UniqueFd greedy = Connect(frame.path());
  // Requests go 64 at a time: one write each costs a pipe's client too much time otherwise.
  std::string batch;
  for (int i = 0; i < 64; ++i) batch += Message("B");
  size_t sent = 0;
  for (int i = 0; i < 2000; ++i) {
    if (!Send(greedy.get(), batch, milliseconds(20))) break;
    sent += 64;
  }
  std::this_thread::sleep_for(milliseconds(100));
  const size_t held = frame.server().budget().held();
  std::printf(
      "unread replies: %zu requests of %zu reply bytes sent, %zu bytes held (limit %zu + one "
      "reply)\n",
      sent, kBigReply, held, kMaxUnreadReplyBytes);
  EXPECT_GT(sent * kBigReply, 4 * kMaxUnreadReplyBytes);
  EXPECT_LE(held, kMaxUnreadReplyBytes + kBigReply);
  EXPECT_GT(held, 0u);
  UniqueFd other = Connect(frame.path());
  EXPECT_TRUE(Echoes(other.get(), "served meanwhile"));
  EXPECT_TRUE(Ends(greedy.get(), 6000));
  for (int i = 0; i < 100 && frame.server().budget().held() != 0; ++i)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(frame.server().budget().held(), 0u);  // everything it held is given back
}

// Messages wait for their share of the budget; one larger than the whole budget is refused.
TEST(ServiceTest, MessagesTakeTheirShareOfTheMemoryBudget) {
  Limits limits;
  limits.memory_budget = 3 * kBigReply;
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  ASSERT_TRUE(frame.server().budget().TryTake(2 * kBigReply));  // the rest is too little for one
  UniqueFd waiting = Connect(frame.path());
  ASSERT_TRUE(!Echoes(waiting.get(), "waits", 200));
  frame.server().budget().Give(2 * kBigReply);
  EXPECT_EQ(ReceiveExactly(waiting.get(), Message("waits").size()), Message("waits"));

  UniqueFd huge = Connect(frame.path());
  const std::string header = Message(std::string(2 * kBigReply, 'h')).substr(0, 4);
  ASSERT_TRUE(Send(huge.get(), header));
  EXPECT_TRUE(Ends(huge.get(), 2000));
}

// A notification that would pass a client's unread bound ends that client, never waits.
TEST(ServiceTest, NotifyEndsASessionThatDoesNotRead) {
  Frame frame;
  ASSERT_TRUE(frame.Start()) << frame.error();
  UniqueFd listener = Connect(frame.path()), origin = Connect(frame.path());
  ASSERT_TRUE(Echoes(listener.get(), "listening"));
  ASSERT_TRUE(Echoes(origin.get(), "origin"));
  const std::string note = Message("note");
  frame.server().Notify(nullptr, [&](Session&) { return note; });
  EXPECT_EQ(ReceiveExactly(listener.get(), note.size()), note);
  // More than the bound and what the socket's buffers take besides.
  std::vector<std::string> chunks(4 * kMaxUnreadReplyBytes / kBigReply,
                                  std::string(kBigReply, 'n'));
  for (const std::string& chunk : chunks)
    frame.server().Notify(nullptr, [&](Session&) { return chunk; });
  EXPECT_TRUE(Ends(listener.get(), 5000));
}

}  // namespace
}  // namespace service
