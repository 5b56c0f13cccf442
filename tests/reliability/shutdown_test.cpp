// Ending the server, and the whole program, while conversations are live and a
// file is on its way in: everything ends within five seconds, no thread stays.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <atomic>
#include <climits>
#include <csignal>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hostile_conversations.h"
#include "hostile_peer.h"
#include "program.h"
#include "program_process.h"
#include "server_test_support.h"
#include "thread.h"
#include "bytes.h"

namespace reliability_test {
namespace {

using namespace server_test;
using std::chrono::milliseconds;

constexpr qint64 kShutdownBoundMs = 5000;

// A peer that announces the largest file the size field can hold and sends data
// until its connection fails.
class TEndlessTransfer {
 public:
  TEndlessTransfer(uint16_t port, const std::string& name) {
    FThread = std::thread([this, port, name] {
      THostilePeer peer;
      if (peer.Connect(port)) {
        const std::string reply = WireFrame(protocol::Reply(protocol::kFileRequest));
        if (peer.Send(WireFrame(test_support::kFileRequest)) && peer.Receive(reply.size(), 10000) == reply &&
            peer.Send(WireInt32(INT32_MAX) + WireFrame(std::u16string(name.begin(), name.end())))) {
          const std::string piece(64 * 1024, 'd');
          while (peer.Send(piece)) FSent += piece.size();
        }
        peer.Vanish();
      }
      FEnded = true;
    });
  }
  ~TEndlessTransfer() { FThread.join(); }
  bool Ended() const { return FEnded; }
  int64_t Sent() const { return FSent; }

 private:
  std::atomic<bool> FEnded{false};
  std::atomic<int64_t> FSent{0};
  std::thread FThread;
};

// Nine idle conversations that have each exchanged one message.
std::vector<std::unique_ptr<RawClient>> IdleConversations(uint16_t port, int n) {
  std::vector<std::unique_ptr<RawClient>> out;
  for (int i = 0; i < n; ++i) {
    auto c = std::make_unique<RawClient>();
    if (!c->Connect(port) || !c->Exchange(u"idle").has_value()) return {};
    out.push_back(std::move(c));
  }
  return out;
}

class Shutdown : public ServerFixture {};

TEST_F(Shutdown, ClosingTheServerWithTenConversationsAndATransferEndsEverythingWithinFiveSeconds) {
  auto idle = IdleConversations(FPort, 9);
  ASSERT_EQ(idle.size(), 9u) << "the idle conversations did not start";
  const std::string name = "shutdown-transfer.bin";
  TEndlessTransfer transfer(FPort, name);
  ASSERT_TRUE(WaitWithEvents([&] { return IncomingBytes(Folder(), ::getpid()) > (1 << 20); }))
      << "the transfer did not get going";
  ASSERT_EQ(FForm->ConversationCount(), 10);

  QElapsedTimer sinceClose;
  sinceClose.start();
  FForm.reset();  // what closing the server window does
  const bool threadsGone = TThread::WaitForAllThreads(milliseconds(kShutdownBoundMs));
  const qint64 took = sinceClose.elapsed();
  EXPECT_TRUE(threadsGone) << TThread::RunningThreads() << " server threads left";
  EXPECT_LT(took, kShutdownBoundMs);
  // The peers learn of it: the transfer's sends fail, the idle clients' receives fail.
  EXPECT_TRUE(WaitWithEvents([&] { return transfer.Ended(); })) << "the transfer never noticed";
  for (auto& c : idle) EXPECT_TRUE(c->ServerClosed());
  std::printf("[figure] server closed with 10 conversations and a transfer (%lld bytes in): "
              "everything ended in %lld ms\n",
              static_cast<long long>(transfer.Sent()), static_cast<long long>(took));
}

// A program under test, and the signal that ends it as its operator would.
struct TEndedProgram {
  const char* Exe;
  QStringList Arguments;
  int Signal;
  friend void PrintTo(const TEndedProgram& p, std::ostream* os) { *os << p.Exe; }
};

class ProgramShutdown : public WholeProgramTest,
                        public ::testing::WithParamInterface<TEndedProgram> {};

// A deaf peer has streamed messages without reading a reply, and is killed while
// the replies wait unacknowledged; eight conversations idle and a file is on its
// way in, which fills the pool. The program still ends at once, with 0, and
// keeps the cut file.
TEST_P(ProgramShutdown, EndingTheProgramWithADeadPeerTenConversationsAndATransferIsPrompt) {
  ProgramProcess running(GetParam().Exe, ProgramProcess::Offscreen(),
                         QProcess::ForwardedChannels, GetParam().Arguments);
  QProcess& program = running.Process();
  ASSERT_TRUE(program.waitForStarted());
  // The program listens on port 2048 as soon as it has started.
  std::vector<std::unique_ptr<RawClient>> idle;
  ASSERT_TRUE(WaitWithEvents([&] {
    idle = IdleConversations(2048, 8);
    return idle.size() == 8u || program.state() == QProcess::NotRunning;
  })) << "the program did not answer on port 2048";
  ASSERT_EQ(idle.size(), 8u) << "the program ended: port 2048 taken?";

  QProcess deaf;
  deaf.start(QStringLiteral(DEAF_PEER_EXE), {QStringLiteral("2048"), QStringLiteral("300")});
  ASSERT_TRUE(WaitWithEvents([&] {
    return deaf.readAllStandardOutput().contains("streaming") || deaf.state() == QProcess::NotRunning;
  })) << "the deaf peer did not get going";
  ASSERT_EQ(deaf.state(), QProcess::Running) << "the deaf peer ended";
  deaf.kill();  // SIGKILL: no shutdown reaches the program
  ASSERT_TRUE(deaf.waitForFinished());

  const std::string name = UniqueName("udtbench-shutdown");
  const std::filesystem::path stored = running.Folder() / name;
  RemoveAfterwards(stored);
  RemoveAfterwards(stored.string() + ".part");
  {
    TEndlessTransfer transfer(2048, name);
    ASSERT_TRUE(WaitWithEvents([&] {
      return IncomingBytes(stored.parent_path().string(), program.processId()) > (1 << 20);
    })) << "the transfer did not get going: " << transfer.Sent() << " bytes sent, ended " << transfer.Ended();

    QElapsedTimer sinceSignal;
    sinceSignal.start();
    ::kill(static_cast<pid_t>(program.processId()), GetParam().Signal);
    const bool ended = program.waitForFinished(static_cast<int>(kShutdownBoundMs));
    const qint64 took = sinceSignal.elapsed();
    if (!ended) {
      program.kill();
      program.waitForFinished();
    }
    EXPECT_TRUE(ended) << "the program did not end within " << kShutdownBoundMs << " ms";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "the program crashed";
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(WaitWithEvents([&] { return transfer.Ended(); })) << "the transfer never noticed";
    EXPECT_TRUE(std::filesystem::exists(stored.string() + ".part")) << "the cut file was not kept";
    std::printf("[figure] %s ended by signal %d with a dead peer, 10 conversations and a "
                "transfer (%lld bytes in): it ended in %lld ms\n",
                GetParam().Exe, GetParam().Signal, static_cast<long long>(transfer.Sent()),
                static_cast<long long>(took));
  }
  for (auto& c : idle) EXPECT_TRUE(c->ServerClosed());
}

INSTANTIATE_TEST_SUITE_P(
    EveryServingProgram, ProgramShutdown,
    ::testing::Values(TEndedProgram{UDTBENCH_EXE, {}, SIGTERM},
                      TEndedProgram{UDTBENCH_CLI_EXE, {QStringLiteral("serve")}, SIGINT}),
    [](const ::testing::TestParamInfo<TEndedProgram>& info) {
      return info.index == 0 ? std::string("Window") : std::string("Serve");
    });

}  // namespace
}  // namespace reliability_test
