// The dispatcher and its worker pool in bmThreadBlocking: how workers are
// obtained, reused and taken in turn, the size limit, failures in the
// application's events, and the worker seen from inside the accept event.
#include <atomic>
#include <deque>
#include <thread>
#include <stdexcept>
#include <system_error>

#include "connection_support.h"

namespace connection_test {
namespace {

// An application's worker: its SyncHook records the thread it ran on.
class RecordingWorker : public TUDTClientSocketThread {
 public:
  using TUDTClientSocketThread::TUDTClientSocketThread;
  std::atomic<bool> HookRan{false};
  std::thread::id HookThread;

 protected:
  void SyncHook() override {
    HookThread = std::this_thread::get_id();
    HookRan = true;
  }
};

// A worker whose thread cannot start, as when the system has no more threads.
class UnstartableWorker : public TUDTClientSocketThread {
 public:
  using TUDTClientSocketThread::TUDTClientSocketThread;

 protected:
  void StartThread() override { throw std::system_error(EAGAIN, std::generic_category()); }
};

// A server in bmThreadBlocking whose OnGetThread supplies workers and records
// what it was given and what it saw.
class DispatcherTest : public ConnectionTest {
 protected:
  struct GetThreadCall {
    TObject* Sender;
    TUDTServerSocketThread* Dispatcher;  // the server's ServerSocketThread as read in the handler
    TUDTClientSocketThread* Worker;
    TUDTClientSocketThread* ThreadObject;  // GetThreadObject on the dispatcher thread
  };

  // Opens the server and lets a client connect, which ends the dispatcher with a
  // failure: the server then no longer claims to listen. Returns the client.
  std::unique_ptr<TUDTClient> DispatcherEndsOnTheFirstConnection() {
    EXPECT_NE(Open(), 0);
    ServerLog.Attach(*Server);
    auto client = ConnectClient(Port);
    EXPECT_TRUE(client);
    EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "the dispatcher did not end";
    EXPECT_FALSE(Server->Listening()) << "the server claims to listen with nobody dispatching";
    return client;
  }

  void SetUp() override {
    ConnectionTest::SetUp();
    MakeServer();
    TUDTServer* server = Server.get();
    Server->OnGetThread = [this, server](TObject* Sender,
                                         TUDTClientSocketThread*& ClientSocketThread) {
      if (FailGetThread) throw std::runtime_error("no worker for you");
      TUDTServerSocketThread* d = server->ServerSocketThread();
      if (Unstartable) ClientSocketThread = new UnstartableWorker(d);
      else ClientSocketThread = new RecordingWorker(d);
      TUDTCustomIpClient probe(nullptr);
      std::lock_guard<std::mutex> g(CallsLock);
      Calls.push_back({Sender, d, ClientSocketThread, probe.GetThreadObject()});
    };
  }

  uint16_t Open() {
    Port = OpenOnFreePort(*Server);
    return Port;
  }
  std::vector<GetThreadCall> GetThreadCalls() {
    std::lock_guard<std::mutex> g(CallsLock);
    return Calls;
  }
  std::vector<TUDTClientSocketThread*> Pool() { return Server->ServerSocketThread()->ThreadPool(); }
  bool WaitAllParked() {
    return WaitUntil([&] {
      for (auto* w : Pool())
        if (!w->Suspended()) return false;
      return true;
    });
  }
  // Connects one client, waits until its conversation has started and makes one
  // exchange. The exchange also lets UDT4 settle the connect: it may see a
  // connect twice, and a connection closed at once lets the second one queue up.
  std::unique_ptr<TUDTClient> Converse(int expectedIndex) {
    auto c = ConnectClient(Port);
    EXPECT_TRUE(c) << "connect " << expectedIndex << " failed";
    if (!c) return c;
    EXPECT_TRUE(Hub.WaitForCount(expectedIndex + 1))
        << "conversation " << expectedIndex << " never started";
    if (Hub.IndexOfPeerPort(LocalPortOf(c->Handle())) == expectedIndex) {
      EXPECT_TRUE(Echo(*c, u"hello"));
    } else {
      ADD_FAILURE() << "conversation " << expectedIndex << " is not this client's";
    }
    return c;
  }

  std::atomic<bool> FailGetThread{false};
  std::atomic<bool> Unstartable{false};  // OnGetThread supplies workers that cannot start
  EventLog ServerLog;  // outlives Server, which TearDown frees
  std::mutex CallsLock;
  std::vector<GetThreadCall> Calls;
};

TEST_F(DispatcherTest, FirstConnectionCreatesWorkerOneThroughOnGetThread) {
  ASSERT_NE(Open(), 0);
  TUDTServerSocketThread* dispatcher = Server->ServerSocketThread();
  EXPECT_TRUE(Pool().empty());
  EXPECT_TRUE(GetThreadCalls().empty()) << "a worker was obtained before any connection";

  auto client = Converse(0);
  ASSERT_TRUE(client);
  const auto calls = GetThreadCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Sender, Server.get()) << "OnGetThread must see the server as Sender";
  EXPECT_EQ(calls[0].Dispatcher, dispatcher)
      << "ServerSocketThread read in OnGetThread is not the asking dispatcher";
  EXPECT_EQ(calls[0].ThreadObject, nullptr) << "the dispatcher thread is no pooled worker";
  EXPECT_EQ(Pool(), std::vector<TUDTClientSocketThread*>{calls[0].Worker});
  const ConversationInfo info = Hub.Info(0);
  EXPECT_EQ(info.Worker, calls[0].Worker) << "the connection was not served by worker 1";
  EXPECT_EQ(info.Worker->ServerSocketThread(), dispatcher);
  EXPECT_EQ(info.Sender, Server.get());
  EXPECT_TRUE(Echo(*client, u"first"));
}

TEST_F(DispatcherTest, ConnectionsArrivingOneAtATimeAreServedByOneReusedWorker) {
  ASSERT_NE(Open(), 0);
  constexpr int kConnections = 12;
  for (int i = 0; i < kConnections; ++i) {
    auto client = Converse(i);
    ASSERT_TRUE(client);
    EXPECT_TRUE(Echo(*client, u"again"));
    client.reset();
    ASSERT_TRUE(Hub.WaitEnded(i));
    ASSERT_TRUE(WaitAllParked()) << "the worker did not park after conversation " << i;
  }
  const auto calls = GetThreadCalls();
  ASSERT_EQ(calls.size(), 1u) << "workers were created for connections that came one at a time";
  for (int i = 0; i < kConnections; ++i) EXPECT_EQ(Hub.Info(i).Worker, calls[0].Worker) << i;
  EXPECT_EQ(Pool().size(), 1u);
  EXPECT_EQ(TThread::RunningThreads(), 2) << "expected the dispatcher and one worker";
}

TEST_F(DispatcherTest, TenConnectionsOpenedInARowAndHeldAreAllAccepted) {
  // UDT4 refuses a connect once five wait unaccepted: the dispatcher must take
  // them as fast as they come, although each needs a new worker.
  ASSERT_NE(Open(), 0);
  std::vector<std::unique_ptr<TUDTClient>> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(ConnectClient(Port));
    ASSERT_TRUE(clients.back()) << "connect " << i << " of ten in a row was refused";
  }
  ASSERT_TRUE(Hub.WaitForCount(10)) << "only " << Hub.Count() << " of ten conversations started";
  EXPECT_EQ(Pool().size(), 10u);
  for (auto& c : clients) EXPECT_TRUE(Echo(*c, u"held"));
}

TEST_F(DispatcherTest, ConnectionArrivingWhileNineConversationsTransferIsAcceptedPromptly) {
  ASSERT_NE(Open(), 0);
  std::vector<std::unique_ptr<TUDTClient>> busy;
  for (int i = 0; i < 9; ++i) busy.push_back(Converse(i));
  std::atomic<int> failures{0};
  const std::u16string piece(16 * 1024, u'd');
  std::vector<std::jthread> senders;  // stopped and joined on every way out
  for (auto& c : busy)
    senders.emplace_back([&, client = c.get()](std::stop_token stop) {
      while (!stop.stop_requested())
        if (!Echo(*client, piece)) ++failures;
    });

  auto tenth = ConnectClient(Port);
  ASSERT_TRUE(tenth) << "the tenth connect was refused";
  // Generous for a loaded machine; a dispatcher that looks at the listener
  // only now and then, or waits for a conversation to end, misses it.
  constexpr std::chrono::milliseconds kPrompt{1000};
  ASSERT_TRUE(Hub.WaitForCount(10, kPrompt))
      << "the connection was not accepted within " << kPrompt.count() << " ms while nine transferred";
  EXPECT_TRUE(Echo(*tenth, u"tenth"));
  senders.clear();
  EXPECT_EQ(failures.load(), 0) << "a transfer failed";
}

TEST_F(DispatcherTest, ConnectionArrivingDuringAConversationIsServedAndCloseStillEndsEverything) {
  ASSERT_NE(Open(), 0);
  auto first = Converse(0);
  ASSERT_TRUE(first);
  auto second = Converse(1);
  ASSERT_TRUE(second);
  EXPECT_NE(Hub.Info(0).Worker, Hub.Info(1).Worker);
  EXPECT_TRUE(Echo(*first, u"still here"));
  Server->Close();
  first.reset();
  second.reset();
  EXPECT_TRUE(Hub.WaitEnded(0) && Hub.WaitEnded(1));
  EXPECT_TRUE(WaitUntil([] { return TThread::RunningThreads() == 0; }))
      << TThread::RunningThreads() << " threads still run after the server closed";
}

TEST_F(DispatcherTest, ParkedWorkersAreTakenInTurn) {
  ASSERT_NE(Open(), 0);
  std::vector<std::unique_ptr<TUDTClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Converse(i));
  const auto pool = Pool();
  ASSERT_EQ(pool.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Hub.Info(i).Worker, pool[i]) << i;
  EXPECT_EQ(Server->ServerSocketThread()->PoolIndex(), 0);

  for (int i = 0; i < 3; ++i) Hub.Release(i);
  ASSERT_TRUE(WaitAllParked());

  // Three dispatches in a row wake the workers at 1, 2 and 0.
  for (int k = 0; k < 3; ++k) clients.push_back(Converse(3 + k));
  EXPECT_EQ(Hub.Info(3).Worker, pool[1]);
  EXPECT_EQ(Hub.Info(4).Worker, pool[2]);
  EXPECT_EQ(Hub.Info(5).Worker, pool[0]);
  EXPECT_EQ(Server->ServerSocketThread()->PoolIndex(), 0);
  EXPECT_EQ(GetThreadCalls().size(), 3u);
}

TEST_F(DispatcherTest, SearchStillEndsAfterTheWorkerAtThePoolIndexLeftThePool) {
  // The conversation at index 4 raises after one exchange, so its worker (at
  // pool index 2) leaves.
  Hub.SetBeforeServe([](int index, TUDTCustomIpClient* c) {
    if (index == 4 && AnswerOnce(*c)) throw std::runtime_error("conversation failed");
  });
  ASSERT_NE(Open(), 0);
  std::vector<std::unique_ptr<TUDTClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Converse(i));
  const auto pool = Pool();
  ASSERT_EQ(pool.size(), 3u);
  for (int i = 0; i < 3; ++i) Hub.Release(i);
  ASSERT_TRUE(WaitAllParked());

  clients.push_back(Converse(3));  // pool[1], held
  clients.push_back(Converse(4));  // pool[2], raises and leaves
  EXPECT_EQ(Hub.Info(3).Worker, pool[1]);
  EXPECT_EQ(Hub.Info(4).Worker, pool[2]);
  ASSERT_TRUE(WaitUntil([&] { return Pool().size() == 2u; })) << "the failed worker stayed";
  EXPECT_EQ(Server->ServerSocketThread()->PoolIndex(), 2);

  clients.push_back(Converse(5));
  EXPECT_EQ(Hub.Info(5).Worker, pool[0]) << "the parked worker was not found";
  EXPECT_EQ(GetThreadCalls().size(), 3u) << "a worker was created although one was parked";
  EXPECT_TRUE(Echo(*clients[5], u"still served"));
}

TEST_F(DispatcherTest, ElevenConversationsWithTenWorkersLeaveTheEleventhPendingAndTheDispatcherIdle) {
  ASSERT_NE(Open(), 0);
  ASSERT_EQ(Server->ServerSocketThread()->ThreadCacheSize(), 10);
  std::vector<std::unique_ptr<TUDTClient>> clients;
  for (int i = 0; i < 10; ++i) clients.push_back(Converse(i));
  auto eleventh = ConnectClient(Port);
  ASSERT_TRUE(eleventh) << "the eleventh connect was refused";
  const uint16_t eleventhPort = LocalPortOf(eleventh->Handle());

  // With no worker to be had the dispatcher waits: it spends no CPU, and the
  // connection stays in the listener's backlog.
  const auto spellStart = Clock::now();
  const auto busiest = BusiestThreadCpu(
      [&] { EXPECT_FALSE(Hub.WaitForCount(11, kQuietSpell)) << "an eleventh conversation ran at once"; });
  const auto spell = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - spellStart);
  EXPECT_LT(busiest, spell / 8) << "a thread used " << busiest.count() << " ms of CPU in "
                                << spell.count() << " ms while the pool was full";
  EXPECT_TRUE(Server->WaitForConnection(0)) << "the eleventh connection left the listener's backlog";
  EXPECT_EQ(Pool().size(), 10u);
  EXPECT_EQ(GetThreadCalls().size(), 10u);

  const TUDTClientSocketThread* freed = Hub.Info(6).Worker;
  Hub.Release(6);
  ASSERT_TRUE(Hub.WaitForCount(11)) << "the eleventh connection was not served after one ended";
  EXPECT_EQ(Hub.IndexOfPeerPort(eleventhPort), 10);
  EXPECT_EQ(Hub.Info(10).Worker, freed) << "not served by the worker that became free";
  EXPECT_EQ(Pool().size(), 10u);
  EXPECT_EQ(GetThreadCalls().size(), 10u);
  EXPECT_TRUE(Echo(*eleventh, u"eleven"));
  EXPECT_TRUE(Echo(*clients[0], u"zero"));
}

TEST_F(DispatcherTest, AcceptHandlerThatRaisesEndsItsWorkerAndThePoolGrowsAgain) {
  // One exchange (made by Converse) before the failure: UDT4 drops a close that
  // reaches a client within moments of its connect.
  Hub.SetBeforeServe([](int index, TUDTCustomIpClient* c) {
    if (index == 0 && AnswerOnce(*c)) throw std::runtime_error("conversation failed");
  });
  ASSERT_NE(Open(), 0);
  auto first = Converse(0);
  ASSERT_TRUE(first);
  EXPECT_TRUE(PeerGone(*first)) << "the failed conversation's connection stayed open";
  ASSERT_TRUE(WaitUntil([&] { return Pool().empty(); })) << "the failed worker stayed in the pool";
  ASSERT_TRUE(WaitUntil([] { return TThread::RunningThreads() == 1; }))
      << "the failed worker did not finish";

  auto second = Converse(1);
  ASSERT_TRUE(second);
  EXPECT_TRUE(Echo(*second, u"after the failure"));
  const auto calls = GetThreadCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(Hub.Info(1).Worker, calls[1].Worker);
  EXPECT_TRUE(Server->Listening());
}

TEST_F(DispatcherTest, InsideOnAcceptGetThreadObjectIsTheRunningWorkerOnAnyConnection) {
  std::atomic<TUDTClientSocketThread*> onOther{nullptr};
  std::atomic<TUDTCustomIpClient*> workersClient{nullptr};
  Hub.SetBeforeServe([&](int, TUDTCustomIpClient* c) {
    TUDTCustomIpClient other(nullptr);
    onOther = other.GetThreadObject();
    workersClient = c->GetThreadObject()->ClientSocket();
  });
  ASSERT_NE(Open(), 0);
  auto client = Converse(0);
  ASSERT_TRUE(client);
  const ConversationInfo info = Hub.Info(0);
  ASSERT_NE(info.Worker, nullptr);
  EXPECT_EQ(Pool(), std::vector<TUDTClientSocketThread*>{info.Worker});
  EXPECT_EQ(onOther.load(), info.Worker);
  EXPECT_EQ(workersClient.load(), info.Client) << "the worker's ClientSocket is not the connection";
  EXPECT_FALSE(info.WorkerTerminatedAtStart);
  EXPECT_EQ(client->GetThreadObject(), nullptr) << "the main thread is no worker";
}

TEST_F(DispatcherTest, ApplicationWorkerReachesTheMainThreadThroughItsSyncHook) {
  // Procedures handed to the main thread are run by the test's own thread.
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::function<void()>> queue;
  uint64_t posted = 0;
  uint64_t run = 0;
  TThread::SetSynchronizeHook([&](const std::function<void()>& proc) {
    std::unique_lock<std::mutex> g(lock);
    const uint64_t ticket = ++posted;
    queue.push_back(proc);
    changed.notify_all();
    changed.wait_for(g, kWaitBound, [&] { return run >= ticket; });
  });
  struct HookReset {
    ~HookReset() { TThread::SetSynchronizeHook(nullptr); }
  } reset;

  std::atomic<bool> hookRanBeforeReturn{false};
  Hub.SetBeforeServe([&](int, TUDTCustomIpClient* c) {
    auto* w = static_cast<RecordingWorker*>(c->GetThreadObject());
    w->ExecuteSyncProc();
    hookRanBeforeReturn = w->HookRan.load();
  });
  ASSERT_NE(Open(), 0);
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);

  {
    std::unique_lock<std::mutex> g(lock);
    ASSERT_TRUE(changed.wait_for(g, kWaitBound, [&] { return !queue.empty(); }))
        << "the worker never handed its SyncHook over";
    auto proc = queue.front();
    queue.pop_front();
    g.unlock();
    proc();
    g.lock();
    ++run;
    changed.notify_all();
  }
  ASSERT_TRUE(Hub.WaitForCount(1));
  ASSERT_TRUE(WaitUntil([&] { return hookRanBeforeReturn.load(); }))
      << "ExecuteSyncProc returned before SyncHook ran";
  auto* w = static_cast<RecordingWorker*>(Hub.Info(0).Worker);
  EXPECT_EQ(w->HookThread, std::this_thread::get_id()) << "SyncHook ran off the main thread";
}

TEST_F(DispatcherTest, WithNoRoomForWorkersConnectionsWaitUntilTheServerCloses) {
  Server->ServerSocketThread()->SetThreadCacheSize(0);
  ASSERT_NE(Open(), 0);
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  EXPECT_FALSE(Hub.WaitForCount(1, kQuietSpell)) << "a connection was served with no workers";
  EXPECT_TRUE(GetThreadCalls().empty());
  EXPECT_TRUE(Pool().empty());
  Server->Close();
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "the dispatcher did not end on Close";
}

TEST_F(DispatcherTest, OnGetThreadThatRaisesEndsTheDispatcherAndClosesTheServerThroughItsErrorPath) {
  FailGetThread = true;
  auto client = DispatcherEndsOnTheFirstConnection();
  EXPECT_FALSE(Server->Active());
  EXPECT_EQ(ServerLog.Entries(), (std::vector<std::string>{"error:-1", "destroy"}));
  ASSERT_EQ(ServerLog.ErrorTexts().size(), 1u);
  EXPECT_NE(ServerLog.ErrorTexts()[0].find("no worker for you"), std::string::npos)
      << ServerLog.ErrorTexts()[0];

  // The server must not hand out, terminate or restart the dispatcher that freed itself.
  EXPECT_FALSE(Server->ServerSocketThread()->Started())
      << "the server still refers to the ended dispatcher";

  FailGetThread = false;
  Server->Close();
  client.reset();
  ASSERT_NE(Open(), 0);
  auto again = Converse(0);
  ASSERT_TRUE(again);
  EXPECT_TRUE(Echo(*again, u"after reopening"));
}

TEST_F(DispatcherTest, WorkerWhoseThreadCannotStartClosesTheServerThroughItsErrorPath) {
  Unstartable = true;
  auto client = DispatcherEndsOnTheFirstConnection();
  EXPECT_EQ(ServerLog.ErrorCodes(), std::vector<int32_t>{3001});
  EXPECT_EQ(GetThreadCalls().size(), 1u);
}

}  // namespace
}  // namespace connection_test
