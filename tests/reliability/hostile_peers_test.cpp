// The real server against a thousand generated hostile conversations: extreme and
// negative counts and sizes, units cut short, random bytes, hostile file names,
// peers that vanish mid-frame or mid-file, bursts of connect-and-close.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "process_probe.h"
#include "received_file.h"
#include "server_test_support.h"
#include "thread.h"
#include "exchange_protocol.h"

namespace reliability_test {
namespace {

using namespace server_test;
using std::chrono::milliseconds;

constexpr int kConversations = 1000;
constexpr int kBatch = 100;
constexpr int kPeerThreads = 4;
constexpr int64_t kMemorySlack = 20 << 20;

// Under AddressSanitizer freed memory sits in its quarantine (256 MB) instead of
// going back, so resident memory says nothing there; its leak check at exit
// takes the place of the figure.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

class HostilePeers : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    ASSERT_TRUE(QDir(FDir.path()).mkdir("program"));
    FProgram = Folder() + "/program";
    FForm->SetReceiveFolder(FProgram);
    FEscapeTarget = QDir::tempPath().toStdString() + "/udtbench-escape-" + std::to_string(::getpid());
  }

  ::testing::AssertionResult Canary(int batch) {
    RawClient c;
    if (!c.Connect(FPort)) return ::testing::AssertionFailure() << "canary " << batch << " could not connect";
    const std::u16string text = u"canary " + Utf8ToUtf16(std::to_string(batch));
    auto reply = c.Exchange(text);
    if (!reply || *reply != protocol::Reply(text))
      return ::testing::AssertionFailure() << "canary " << batch << " was not answered";
    return ::testing::AssertionSuccess();
  }

  int PoolSize() {
    TUDTServerSocketThread* d = FForm->UdtServer1()->ServerSocketThread();
    return d ? static_cast<int>(d->ThreadPool().size()) : -1;
  }

  std::string FProgram;
  std::string FEscapeTarget;
};

TEST_F(HostilePeers, ServerSurvivesAThousandMalformedConversations) {
  // Warm up: fill the pool and UDT4's buffers before taking the baseline.
  {
    std::vector<std::unique_ptr<RawClient>> warm;
    for (int i = 0; i < 10; ++i) {
      warm.push_back(std::make_unique<RawClient>());
      ASSERT_TRUE(warm.back()->Connect(FPort));
      ASSERT_TRUE(warm.back()->Exchange(u"warm").has_value());
    }
  }
  ASSERT_TRUE(WaitWithEvents([&] { return FForm->ConversationCount() == 0; }));
  // The warm-up clients' own UDT threads leave once UDT4 has reaped their sockets.
  ASSERT_TRUE(WaitWithEvents([&] { return ThreadCount() - TThread::RunningThreads() <= 4; },
                             milliseconds(20000)))
      << ThreadCount() << " threads, " << TThread::RunningThreads() << " of them the server's";
  const int otherThreads = ThreadCount() - TThread::RunningThreads();
  const int64_t memoryAtStart = TrimmedResidentBytes();
  int64_t peakMemory = memoryAtStart;
  const int filesAtStart = OpenFileCount();

  QTemporaryDir expect;
  ASSERT_TRUE(expect.isValid());
  const auto start = std::chrono::steady_clock::now();
  for (int batch = 0; batch < kConversations / kBatch; ++batch) {
    QProcess peers;
    peers.start(QStringLiteral(HOSTILE_PEERS_EXE),
                {QString::number(FPort), QString::number(batch * kBatch), QString::number(kBatch),
                 QString::number(kPeerThreads), expect.path(), QString::fromStdString(FEscapeTarget)});
    ASSERT_TRUE(peers.waitForStarted()) << "the peer program did not start";
    // The log fills on the main thread meanwhile. Every peer call is bounded.
    const bool finished = WaitWithEvents([&] { return peers.state() == QProcess::NotRunning; },
                                         milliseconds(150000));
    if (!finished) {
      peers.kill();
      peers.waitForFinished();
    }
    ASSERT_TRUE(finished) << "batch " << batch << " did not finish";
    EXPECT_EQ(peers.exitCode(), 0) << "batch " << batch << ":\n"
                                   << peers.readAllStandardError().toStdString();
    ASSERT_TRUE(Canary(batch)) << "after batch " << batch;
    peakMemory = std::max(peakMemory, ResidentBytes());
  }
  const auto took = std::chrono::steady_clock::now() - start;

  // Every conversation ends; a peer that vanished before UDT4 had registered its
  // connection is noticed only when UDT4 declares the connection broken.
  const bool allEnded =
      WaitWithEvents([&] { return FForm->ConversationCount() == 0; }, milliseconds(90000));
  EXPECT_TRUE(allEnded) << FForm->ConversationCount() << " conversations still running";
  const bool threadsBack = WaitWithEvents(
      [&] {
        return ThreadCount() - TThread::RunningThreads() == otherThreads &&
               TThread::RunningThreads() == 1 + PoolSize();
      },
      milliseconds(20000));
  EXPECT_TRUE(threadsBack) << ThreadCount() << " threads: " << TThread::RunningThreads()
                           << " server threads for a pool of " << PoolSize() << ", "
                           << otherThreads << " others at the start";
  EXPECT_LE(PoolSize(), 10);
  EXPECT_TRUE(WaitWithEvents([&] { return OpenFileCount() <= filesAtStart; }))
      << OpenFileCount() << " open files, " << filesAtStart << " at the start";
  const int64_t untrimmedAtEnd = ResidentBytes();
  const int64_t memoryAtEnd = TrimmedResidentBytes();
  if (kResidentMemoryMeaningful) {
    EXPECT_LT(memoryAtEnd - memoryAtStart, kMemorySlack)
        << "resident memory grew from " << memoryAtStart << " to " << memoryAtEnd;
  }
  std::printf("[figure] %d conversations in %lld ms; resident memory %lld -> %lld KB (peak %lld KB, "
              "%lld KB at the end before the allocator returned its free memory); "
              "%d threads at the end for a pool of %d; %d open files (%d at the start); "
              "log of %zu lines\n",
              kConversations,
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()),
              static_cast<long long>(memoryAtStart / 1024),
              static_cast<long long>(memoryAtEnd / 1024), static_cast<long long>(peakMemory / 1024),
              static_cast<long long>(untrimmedAtEnd / 1024), ThreadCount(), PoolSize(),
              OpenFileCount(), filesAtStart, FView.Log.size());

  // Nothing outside the program's folder, nothing in it under a refused name, and
  // every file a peer sent whole is there whole.
  const auto entries = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
  EXPECT_EQ(QDir(FDir.path()).entryList(entries), QStringList{"program"});
  EXPECT_FALSE(QFile::exists(QString::fromStdString(FEscapeTarget)));
  EXPECT_FALSE(QFile::exists(QDir::tempPath() + "/escape.txt"));
  for (const QString& n : QDir(QString::fromStdString(FProgram)).entryList(entries))
    EXPECT_TRUE(RefusedNameReason(n.toStdU16String()).empty())
        << "stored under a refused name: " << n.toStdString();
  const QStringList whole = QDir(expect.path()).entryList(entries);
  EXPECT_GT(whole.size(), 50) << "too few whole files to say anything";
  for (const QString& n : whole) {
    QFile sent(expect.filePath(n));
    QFile stored(QString::fromStdString(FProgram) + "/" + n);
    ASSERT_TRUE(sent.open(QIODevice::ReadOnly));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly)) << n.toStdString() << " is missing";
    EXPECT_TRUE(stored.readAll() == sent.readAll()) << n.toStdString() << " differs from what was sent";
  }
}

}  // namespace
}  // namespace reliability_test
