// Shutdown and lifetime of a server in bmThreadBlocking: closing ends the
// dispatcher and parked workers promptly, conversations outlive Close and the
// server object itself, and a server closed and reopened on its port listens again.
#include <atomic>
#include <future>
#include <thread>

#include "connection_support.h"

namespace connection_test {
namespace {

// After Close, the dispatcher and every parked worker must have finished within this.
constexpr std::chrono::milliseconds kShutdownBound{500};

class ShutdownTest : public ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    MakeServer();
    ServerLog.Attach(*Server);
  }

  // Opens the server and lets n conversations start; they are left running.
  std::vector<std::unique_ptr<TUDTClient>> OpenWithConversations(int n) {
    std::vector<std::unique_ptr<TUDTClient>> clients;
    Port = OpenOnFreePort(*Server);
    EXPECT_NE(Port, 0) << "the server did not listen";
    const int before = Hub.Count();
    for (int i = 0; i < n; ++i) {
      clients.push_back(ConnectClient(Port));
      EXPECT_TRUE(clients.back()) << "connect " << i << " failed";
      if (!clients.back()) break;
      EXPECT_TRUE(Hub.WaitForCount(before + i + 1)) << "conversation " << i << " never started";
      // One exchange settles UDT4's handshake, which may reach the server twice.
      EXPECT_TRUE(Echo(*clients.back(), u"hello"));
    }
    return clients;
  }
  bool WaitAllParked() {
    return WaitUntil([&] {
      for (auto* w : Server->ServerSocketThread()->ThreadPool())
        if (!w->Suspended()) return false;
      return true;
    });
  }
  // Time until no library thread runs, or the bound if some still do.
  static std::chrono::milliseconds TimeUntilNoThreadRuns() {
    const auto start = Clock::now();
    if (!TThread::WaitForAllThreads(kWaitBound)) return kWaitBound;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  EventLog ServerLog;
};

TEST_F(ShutdownTest, CloseEndsTheDispatcherAndParkedWorkersWithinHalfASecond) {
  auto clients = OpenWithConversations(3);
  for (int i = 0; i < 3; ++i) Hub.Release(i);
  ASSERT_TRUE(WaitAllParked());
  ASSERT_EQ(TThread::RunningThreads(), 4);

  Server->Close();
  const auto took = TimeUntilNoThreadRuns();
  EXPECT_LT(took, kShutdownBound) << "the dispatcher and 3 parked workers took " << took.count()
                                  << " ms to finish after Close";
  EXPECT_FALSE(Server->Listening());
  EXPECT_TRUE(ServerLog.ErrorCodes().empty()) << "closing reported an error";
}

TEST_F(ShutdownTest, CloseOfAnIdleServerEndsItsDispatcherWithinHalfASecond) {
  Port = OpenOnFreePort(*Server);
  ASSERT_NE(Port, 0);
  ASSERT_TRUE(WaitUntil([] { return TThread::RunningThreads() == 1; }));
  Server->Close();
  const auto took = TimeUntilNoThreadRuns();
  EXPECT_LT(took, kShutdownBound) << "the idle dispatcher took " << took.count() << " ms";
}

TEST_F(ShutdownTest, ReopeningOnTheSamePortDoesNotHoldUpTheOldDispatcher) {
  auto clients = OpenWithConversations(2);
  Hub.Release(0);
  Hub.Release(1);
  ASSERT_TRUE(WaitAllParked());

  // UDT refuses the new listen for seconds; meanwhile the old threads must end.
  Server->Close();
  auto watcher = std::async(std::launch::async, [] { return TimeUntilNoThreadRuns(); });
  Server->SetLocalPort(std::to_string(Port));
  Server->Open();
  const auto took = watcher.get();
  EXPECT_LT(took, kShutdownBound) << "the old dispatcher and its parked workers took "
                                  << took.count() << " ms to finish while the server reopened";
  ASSERT_TRUE(Server->Listening()) << "the reopened server does not listen";
  EXPECT_TRUE(ServerLog.ErrorCodes().empty()) << "the refused listen was reported";
  EXPECT_EQ(LocalPortOf(Server->Handle()), Port);

  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  ASSERT_TRUE(Hub.WaitForCount(3)) << "the reopened server served nobody";
  EXPECT_TRUE(Echo(*client, u"reopened"));
}

TEST_F(ShutdownTest, ConversationGoesOnAfterCloseThenItsWorkerAndTheDispatcherFinish) {
  auto clients = OpenWithConversations(1);
  ASSERT_TRUE(clients[0]);
  TUDTServerSocketThread* dispatcher = Server->ServerSocketThread();
  EXPECT_FALSE(Hub.Info(0).WorkerTerminatedAtStart);

  Server->Close();
  EXPECT_FALSE(Server->Listening());
  EXPECT_TRUE(Echo(*clients[0], u"still here")) << "closing the server cut the conversation";
  ASSERT_TRUE(Hub.WaitSawTerminated(0)) << "the worker was never told to finish";
  EXPECT_TRUE(Echo(*clients[0], u"still here after terminate"));
  EXPECT_EQ(TThread::RunningThreads(), 2) << "the dispatcher must wait for its busy worker";
  EXPECT_NE(Server->ServerSocketThread(), dispatcher) << "the server kept its old dispatcher";

  Hub.Release(0);
  ASSERT_TRUE(Hub.WaitEnded(0));
  EXPECT_TRUE(PeerGone(*clients[0])) << "the worker did not close its connection";
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound))
      << "the worker or the dispatcher did not finish after the conversation";
}

TEST_F(ShutdownTest, ConnectionWaitingForAFullPoolIsNotServedAfterClose) {
  Server->ServerSocketThread()->SetThreadCacheSize(1);
  auto clients = OpenWithConversations(1);
  auto waiting = ConnectClient(Port);
  ASSERT_TRUE(waiting);
  EXPECT_FALSE(Hub.WaitForCount(2, kQuietSpell)) << "served beyond ThreadCacheSize";

  Server->Close();
  Hub.Release(0);
  ASSERT_TRUE(Hub.WaitEnded(0));
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "threads remained after Close";
  EXPECT_EQ(Hub.Count(), 1) << "a closed server served the waiting connection";
}

TEST_F(ShutdownTest, ServerClosedAndReopenedOnItsPortServesNewConnectionsWhileTheOldOneRuns) {
  auto clients = OpenWithConversations(1);
  const ConversationInfo old = Hub.Info(0);
  TUDTServerSocketThread* oldDispatcher = Server->ServerSocketThread();

  Server->Close();
  Server->SetLocalPort(std::to_string(Port));
  Server->Open();
  ASSERT_TRUE(Server->Listening()) << "UDT's refusal to listen again was not waited out";
  EXPECT_TRUE(ServerLog.ErrorCodes().empty());
  TUDTServerSocketThread* newDispatcher = Server->ServerSocketThread();
  EXPECT_NE(newDispatcher, oldDispatcher);

  auto fresh = ConnectClient(Port);
  ASSERT_TRUE(fresh);
  ASSERT_TRUE(Hub.WaitForCount(2));
  const ConversationInfo now = Hub.Info(1);
  EXPECT_NE(now.Worker, old.Worker) << "the old worker served the reopened server";
  EXPECT_EQ(newDispatcher->ThreadPool(), std::vector<TUDTClientSocketThread*>{now.Worker});
  EXPECT_TRUE(Echo(*fresh, u"new"));
  EXPECT_TRUE(Echo(*clients[0], u"old")) << "the old conversation was cut by the reopen";

  ASSERT_TRUE(Hub.WaitSawTerminated(0));
  Hub.Release(0);
  ASSERT_TRUE(Hub.WaitEnded(0));
  // The old worker and dispatcher finish; the new dispatcher and worker stay.
  EXPECT_TRUE(WaitUntil([] { return TThread::RunningThreads() == 2; }))
      << TThread::RunningThreads() << " threads run; the old ones did not finish";
  EXPECT_TRUE(Echo(*fresh, u"new again"));
}

TEST_F(ShutdownTest, DestroyingTheServerDuringConversationsNeitherHangsNorCutsThem) {
  auto clients = OpenWithConversations(3);
  Hub.Release(2);
  ASSERT_TRUE(Hub.WaitEnded(2));
  TUDTServer* server = Server.release();
  auto destroyed = std::async(std::launch::async, [server] { delete server; });
  ASSERT_EQ(destroyed.wait_for(kWaitBound), std::future_status::ready)
      << "destroying the server waited for its conversations";

  EXPECT_TRUE(Echo(*clients[0], u"zero"));
  EXPECT_TRUE(Echo(*clients[1], u"one"));
  ASSERT_TRUE(Hub.WaitSawTerminated(0));
  Hub.Release(0);
  ASSERT_TRUE(Hub.WaitEnded(0));
  EXPECT_TRUE(Echo(*clients[1], u"one still"));
  Hub.Release(1);
  ASSERT_TRUE(Hub.WaitEnded(1));
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "workers or the dispatcher outlived them";
}

TEST_F(ShutdownTest, DestroyingAServerThatWaitsForAFreeWorkerDoesNotHang) {
  Server->ServerSocketThread()->SetThreadCacheSize(1);
  auto clients = OpenWithConversations(1);
  auto waiting = ConnectClient(Port);
  ASSERT_TRUE(waiting);
  TUDTServer* server = Server.release();
  auto destroyed = std::async(std::launch::async, [server] { delete server; });
  ASSERT_EQ(destroyed.wait_for(kWaitBound), std::future_status::ready)
      << "destroying the server hung";
  EXPECT_TRUE(Echo(*clients[0], u"alive"));
  Hub.Release(0);
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound));
  EXPECT_EQ(Hub.Count(), 1);
}

TEST_F(ShutdownTest, CloseDuringABurstOfConnectsEndsEverythingAndReportsNothing) {
  Port = OpenOnFreePort(*Server);
  ASSERT_NE(Port, 0);
  // Twenty clients connect at once while the server closes under them; the
  // dispatcher is inside UDT's accept or handing a connection out.
  std::vector<std::unique_ptr<TUDTClient>> clients(20);
  std::atomic<bool> go{false};
  std::vector<std::thread> connecting;
  for (auto& c : clients) {
    connecting.emplace_back([&, &slot = c] {
      while (!go) std::this_thread::yield();
      slot = ConnectClient(Port);
    });
  }
  go = true;
  ASSERT_TRUE(Hub.WaitForCount(1)) << "no conversation started during the burst";
  Server->Close();
  for (auto& t : connecting) t.join();
  Hub.ReleaseAll();
  clients.clear();
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound))
      << TThread::RunningThreads() << " threads remained after Close during a burst";
  EXPECT_TRUE(ServerLog.ErrorCodes().empty()) << "the accept ended by Close was reported";
  EXPECT_FALSE(Server->Listening());
}

TEST_F(ShutdownTest, RepeatedOpenServeCloseLeavesNoThreadBehind) {
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto clients = OpenWithConversations(2);
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_TRUE(Echo(*clients[0], u"a"));
    EXPECT_TRUE(Echo(*clients[1], u"b"));
    if (round % 2) clients.clear();  // some rounds close with conversations running
    Server->Close();
    clients.clear();
    ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "threads remained after round";
  }
  EXPECT_TRUE(ServerLog.ErrorCodes().empty());
}

}  // namespace
}  // namespace connection_test
