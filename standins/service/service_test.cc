// Tests of the service frame with a small protocol of the test's own (u32 length | bytes,
// echoed back; a message starting with 'B' is answered with kBigReply bytes), the frame
// running in this process. The servers' own protocols: cvmad_test.cc, cvstorage_test.cc;
// the flood of the real agent: cvmad_test.cc.
#include "standins/service/service.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "standins/testing/test_agent.h"

namespace service {
namespace {

using cvmad::testing::ConnectUnix;
using cvmad::testing::RunAs;
using std::chrono::milliseconds;
using wire::UniqueFd;

constexpr size_t kBigReply = 64 * 1024;
constexpr uid_t kNobody = 65534;

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
    const uint64_t one = 1;
    EXPECT_EQ(write(stop_.get(), &one, sizeof one), 8);
    thread_.join();
  }
  std::string dir() const { return dir_.path(); }
  std::string path() const { return dir_.Path("run/test.sock"); }
  Server& server() { return server_; }
  const std::string& error() const { return error_; }

 private:
  platform::testing::TemporaryFolder dir_{"service_test"};
  std::string error_;
  Server server_;
  UniqueFd stop_{eventfd(0, EFD_CLOEXEC)};
  std::thread thread_;
};

// The echo of `text` on `fd` within `timeout_ms`.
bool Echoes(int fd, const std::string& text, int timeout_ms = 5000) {
  const std::string message = Message(text);
  if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(message.size()))
    return false;
  std::string got;
  const auto deadline = cvmad::testing::Clock::now() + milliseconds(timeout_ms);
  while (got.size() < message.size() && cvmad::testing::Clock::now() < deadline) {
    pollfd event{fd, POLLIN, 0};
    if (poll(&event, 1, 50) != 1) continue;
    char chunk[4096];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got == message;
}

// True when the server ends the connection within `timeout_ms`. Nothing is read: a client
// that reads would be one that takes its replies.
bool Ends(int fd, int timeout_ms) {
  pollfd event{fd, 0, 0};
  return poll(&event, 1, timeout_ms) == 1 && (event.revents & POLLHUP) != 0;
}

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
      UniqueFd fd = ConnectUnix(frame.path());
      return fd.valid() && Echoes(fd.get(), "hello", 1000) ? 0 : 1;
    });
  };
  EXPECT_EQ(served(kNobody), 1);
  EXPECT_EQ(served(kAdmitted), 0);

  std::vector<UniqueFd> held;
  for (size_t i = 0; i < kMaxConnectionsPerAccount; ++i) {
    held.push_back(ConnectUnix(frame.path()));
    ASSERT_TRUE(Echoes(held.back().get(), "mine")) << i;
  }
  UniqueFd one_more = ConnectUnix(frame.path());
  EXPECT_TRUE(Ends(one_more.get(), 5000));
  EXPECT_EQ(served(kAdmitted), 0);
  held.pop_back();  // a connection that ends gives its place back
  // The frame notices the end when it next looks at that connection: ask again for a while.
  bool again = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       !again && std::chrono::steady_clock::now() < end;) {
    one_more = ConnectUnix(frame.path());
    again = Echoes(one_more.get(), "again", 1000);
    if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(again);
}

TEST(ServiceTest, RefusesConnectionsBeyondTheWholeLimit) {
  Limits limits;
  limits.max_per_account = kMaxConnections;
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  std::vector<UniqueFd> held;
  for (size_t i = 0; i < kMaxConnections; ++i) {
    held.push_back(ConnectUnix(frame.path()));
    ASSERT_TRUE(Echoes(held.back().get(), "x")) << i;
  }
  UniqueFd one_more = ConnectUnix(frame.path());
  EXPECT_TRUE(Ends(one_more.get(), 5000));
}

TEST(ServiceTest, EndsIdleStalledAndSilentConnections) {
  Limits limits;
  limits.idle_timeout = milliseconds(300);
  limits.message_timeout = milliseconds(150);
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  UniqueFd idle = ConnectUnix(frame.path()), stalled = ConnectUnix(frame.path()),
           silent = ConnectUnix(frame.path());
  ASSERT_TRUE(Echoes(idle.get(), "then nothing"));
  ASSERT_EQ(send(stalled.get(), "\x09\0\0\0half", 8, 0), 8);
  const auto start = cvmad::testing::Clock::now();
  EXPECT_TRUE(Ends(stalled.get(), 2000));
  EXPECT_GE(cvmad::testing::Clock::now() - start, milliseconds(140));
  EXPECT_LT(cvmad::testing::Clock::now() - start, milliseconds(280));
  EXPECT_TRUE(Ends(idle.get(), 2000));
  EXPECT_TRUE(Ends(silent.get(), 2000));  // a connection that never sent is idle too
  EXPECT_GE(cvmad::testing::Clock::now() - start, milliseconds(280));
  // A client that sends a whole message at a time is never idle.
  UniqueFd busy = ConnectUnix(frame.path());
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(Echoes(busy.get(), "still here")) << i;
  }
}

// A client that sends and never reads: the frame stops reading from it once its unread
// replies pass the bound, holds no more than that, and ends it when its replies do not move.
TEST(ServiceTest, StopsReadingFromAClientThatDoesNotReadItsReplies) {
  Limits limits;
  limits.message_timeout = milliseconds(500);
  Frame frame(limits);
  ASSERT_TRUE(frame.Start()) << frame.error();
  UniqueFd greedy = ConnectUnix(frame.path());
  const std::string big = Message("B");
  size_t sent = 0;
  for (int i = 0; i < 100000; ++i) {
    if (send(greedy.get(), big.data(), big.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != 5) break;
    ++sent;
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
  UniqueFd other = ConnectUnix(frame.path());
  EXPECT_TRUE(Echoes(other.get(), "served meanwhile"));
  EXPECT_TRUE(Ends(greedy.get(), 3000));
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
  UniqueFd waiting = ConnectUnix(frame.path());
  ASSERT_TRUE(!Echoes(waiting.get(), "waits", 200));
  frame.server().budget().Give(2 * kBigReply);
  std::string echo(Message("waits").size(), '\0');
  EXPECT_EQ(recv(waiting.get(), echo.data(), echo.size(), MSG_WAITALL),
            static_cast<ssize_t>(echo.size()));
  EXPECT_EQ(echo, Message("waits"));

  UniqueFd huge = ConnectUnix(frame.path());
  const std::string header = Message(std::string(2 * kBigReply, 'h')).substr(0, 4);
  ASSERT_EQ(send(huge.get(), header.data(), 4, 0), 4);
  EXPECT_TRUE(Ends(huge.get(), 2000));
}

// A notification that would pass a client's unread bound ends that client, never waits.
TEST(ServiceTest, NotifyEndsASessionThatDoesNotRead) {
  Frame frame;
  ASSERT_TRUE(frame.Start()) << frame.error();
  UniqueFd listener = ConnectUnix(frame.path()), origin = ConnectUnix(frame.path());
  ASSERT_TRUE(Echoes(listener.get(), "listening"));
  ASSERT_TRUE(Echoes(origin.get(), "origin"));
  const std::string note = Message("note");
  frame.server().Notify(nullptr, [&](Session&) { return note; });
  std::string got(note.size(), '\0');
  ASSERT_EQ(recv(listener.get(), got.data(), got.size(), MSG_WAITALL),
            static_cast<ssize_t>(note.size()));
  EXPECT_EQ(got, note);
  // More than the bound and what the socket's buffers take besides.
  std::vector<std::string> chunks(4 * kMaxUnreadReplyBytes / kBigReply,
                                  std::string(kBigReply, 'n'));
  for (const std::string& chunk : chunks)
    frame.server().Notify(nullptr, [&](Session&) { return chunk; });
  EXPECT_TRUE(Ends(listener.get(), 5000));
}

}  // namespace
}  // namespace service
