// The server socket in the modes where the application accepts (bmBlocking,
// bmNonBlocking): what an accepted connection carries, the temporary connection
// of Accept(), failures, block mode changes, loading, and the wait for a connection.
#include <udt/udt.h>

#include <future>
#include <stdexcept>

#include "connection_support.h"
#include "exchange_protocol.h"

namespace connection_test {
namespace {

using Entries = std::vector<std::string>;

// Expected base block mode of the server and of the connections it accepts.
TSocketBlockMode BaseModeOf(TServerSocketBlockMode m) {
  return m == bmNonBlocking ? bmNonBlocking : bmBlocking;
}

class ServerSocketTest : public ConnectionTest,
                         public ::testing::WithParamInterface<TServerSocketBlockMode> {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    Server = std::make_unique<TUDTServer>(nullptr);
    Server->SetBlockMode(GetParam());
    ServerLog.Attach(*Server);
    Port = OpenOnFreePort(*Server);
    ASSERT_NE(Port, 0) << "the server did not listen";
    ASSERT_EQ(TThread::RunningThreads(), 0) << "a dispatcher started outside bmThreadBlocking";
  }

  EventLog ServerLog;
};

TEST_P(ServerSocketTest, AcceptFillsInThePeerAsTextBeforeOnAcceptRuns) {
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  const uint16_t peerPort = LocalPortOf(client->Handle());
  ASSERT_NE(peerPort, 0);

  EventLog acceptedLog;
  TUDTCustomIpClient accepted(nullptr);
  acceptedLog.AttachClient(accepted);
  Server->OnAccept = Hub.Handler();
  Hub.SetBeforeServe([](int, TUDTCustomIpClient*) { throw std::runtime_error("look only"); });
  EXPECT_THROW(Server->Accept(accepted), std::runtime_error);

  ASSERT_EQ(Hub.Count(), 1) << "OnAccept did not run inside Accept";
  const ConversationInfo info = Hub.Info(0);
  EXPECT_EQ(info.Sender, Server.get());
  EXPECT_EQ(info.Client, nullptr);  // the hub forgets it when it ends
  EXPECT_EQ(info.Thread, std::this_thread::get_id()) << "OnAccept ran on another thread";
  EXPECT_EQ(info.RemoteHost, "127.0.0.1");
  EXPECT_EQ(info.RemotePort, std::to_string(peerPort));
  EXPECT_TRUE(info.Active);
  EXPECT_TRUE(info.Connected);
  EXPECT_EQ(info.BlockMode, BaseModeOf(GetParam()));
  EXPECT_EQ(info.Worker, nullptr);

  EXPECT_TRUE(accepted.Connected());
  EXPECT_EQ(accepted.Domain(), pfINET);
  EXPECT_EQ(accepted.SockType(), stStream);
  EXPECT_EQ(UDT::getsockstate(accepted.Handle()), CONNECTED);
  EXPECT_TRUE(acceptedLog.Entries().empty()) << "an accepted connection fires no create or connect";

  // The filled-in object is a working connection.
  BoundBlockingCalls(accepted.Handle());
  ASSERT_EQ(client->SendString(u"ping"), 4 + 2 * 4);
  std::u16string text;
  ASSERT_EQ(accepted.ReceiveString(text), 4);
  EXPECT_EQ(text, u"ping");
}

TEST_P(ServerSocketTest, AcceptWithoutAHandlerStillFillsInTheConnection) {
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  TUDTCustomIpClient accepted(nullptr);
  EXPECT_TRUE(Server->Accept(accepted));
  EXPECT_TRUE(accepted.Active());
  EXPECT_TRUE(accepted.Connected());
  EXPECT_EQ(accepted.RemotePort(), std::to_string(LocalPortOf(client->Handle())));
  EXPECT_EQ(accepted.BlockMode(), BaseModeOf(GetParam()));
}

TEST_P(ServerSocketTest, AcceptWithATemporaryConnectionFreesItWhenTheHandlerReturns) {
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  EventLog acceptedLog;
  Server->OnAccept = Hub.Handler();
  // The whole conversation happens inside the handler: one question, one answer.
  Hub.SetBeforeServe([&](int, TUDTCustomIpClient* c) {
    acceptedLog.AttachClient(*c);
    std::u16string text;
    if (c->ReceiveString(text) != -1) c->SendString(protocol::Reply(text));
  });
  Hub.ReleaseAll();
  ASSERT_EQ(client->SendString(u"one"), 4 + 2 * 3);

  EXPECT_TRUE(Server->Accept());
  EXPECT_EQ(acceptedLog.Entries(), (Entries{"disconnect", "destroy"}));
  ASSERT_TRUE(client->WaitForData(static_cast<int32_t>(kWaitBound.count())));
  std::u16string reply;
  ASSERT_EQ(client->ReceiveString(reply), 8);
  EXPECT_EQ(reply, protocol::Reply(u"one"));
  EXPECT_TRUE(PeerGone(*client)) << "the peer still sees the connection after Accept()";
}

TEST_P(ServerSocketTest, HandlerFailureLeavesAcceptAndTheTemporaryConnectionIsFreed) {
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  EventLog acceptedLog;
  Server->OnAccept = Hub.Handler();
  // One exchange first: UDT4 drops a close that reaches a client within moments
  // of its connect, and the client would then wait long to notice.
  Hub.SetBeforeServe([&](int, TUDTCustomIpClient* c) {
    acceptedLog.AttachClient(*c);
    AnswerOnce(*c);
    throw std::runtime_error("handler failed");
  });
  auto asking = std::async(std::launch::async, [&] { return Echo(*client, u"q"); });
  EXPECT_THROW(Server->Accept(), std::runtime_error);
  EXPECT_TRUE(asking.get());
  EXPECT_EQ(acceptedLog.Entries(), (Entries{"disconnect", "destroy"}));
  EXPECT_TRUE(PeerGone(*client));
  EXPECT_TRUE(Server->Listening()) << "a handler failure is not the server's";
}

TEST_P(ServerSocketTest, FailedAcceptIsReportedOnTheServerAndLeavesTheConnectionUntouched) {
  Server->Close();
  ServerLog.Clear();
  TUDTCustomIpClient accepted(nullptr);
  EXPECT_FALSE(Server->Accept(accepted));
  ASSERT_EQ(ServerLog.ErrorCodes().size(), 1u) << "the failed accept was not reported once";
  EXPECT_FALSE(accepted.Active());
  EXPECT_FALSE(accepted.Connected());
  EXPECT_EQ(accepted.Handle(), -1);

  // A failure raised by the server's OnError is swallowed by Accept.
  Server->OnError = [](TObject*, int32_t, const char*) { throw std::runtime_error("OnError"); };
  bool result = true;
  EXPECT_NO_THROW(result = Server->Accept(accepted));
  EXPECT_FALSE(result);
}

TEST_P(ServerSocketTest, WaitForConnectionSeesAPendingConnectionAndEndsWhenTheServerCloses) {
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  EXPECT_TRUE(Server->WaitForConnection());
  // Kept open: UDT4 may see a connect twice, and a connection closed at once
  // would let the second one queue up as a new pending connection.
  TUDTCustomIpClient accepted(nullptr);
  ASSERT_TRUE(Server->Accept(accepted));

  // With nothing pending, a wait on another thread ends when the server closes,
  // although UDT's own wait on a closed listener lasts seconds.
  auto waiter = std::async(std::launch::async, [&] { return Server->WaitForConnection(); });
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "WaitForConnection returned with nothing pending";
  Server->Close();
  ASSERT_EQ(waiter.wait_for(kWaitBound), std::future_status::ready)
      << "WaitForConnection did not end after Close";
  EXPECT_FALSE(waiter.get()) << "WaitForConnection reported a connection on a closed server";
}

TEST_P(ServerSocketTest, AssigningAnotherBlockModeClosesTheServerAndLeavesItClosed) {
  const TServerSocketBlockMode other = GetParam() == bmBlocking ? bmNonBlocking : bmBlocking;
  ServerLog.Clear();
  Server->SetBlockMode(GetParam());
  EXPECT_TRUE(Server->Listening()) << "assigning the current mode closed the server";
  EXPECT_TRUE(ServerLog.Entries().empty());

  Server->SetBlockMode(other);
  EXPECT_EQ(ServerLog.Entries(), (Entries{"destroy"}));
  EXPECT_FALSE(Server->Listening());
  EXPECT_FALSE(Server->Active());
  EXPECT_EQ(Server->BlockMode(), other);
  EXPECT_EQ(Server->TUDTBaseSocket::BlockMode(), BaseModeOf(other));

  // Opening in the new mode gives connections of that mode.
  Port = OpenOnFreePort(*Server);
  ASSERT_NE(Port, 0);
  auto client = ConnectClient(Port);
  ASSERT_TRUE(client);
  TUDTCustomIpClient accepted(nullptr);
  ASSERT_TRUE(Server->Accept(accepted));
  EXPECT_EQ(accepted.BlockMode(), BaseModeOf(other));
}

INSTANTIATE_TEST_SUITE_P(ApplicationAccepts, ServerSocketTest,
                         ::testing::Values(bmBlocking, bmNonBlocking),
                         [](const auto& info) {
                           return info.param == bmBlocking ? "bmBlocking" : "bmNonBlocking";
                         });

// Server behaviour that does not depend on who accepts.
using ServerLifecycleTest = ConnectionTest;

TEST_F(ServerLifecycleTest, ThreadBlockingIsTheDefaultAndOpeningStartsOneDispatcher) {
  EventLog log;
  TUDTServer server(nullptr);
  EXPECT_EQ(server.BlockMode(), bmThreadBlocking);
  EXPECT_EQ(server.TUDTBaseSocket::BlockMode(), bmBlocking);
  log.Attach(server);
  server.OnListening = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &server);
    log.Add("listening");
  };
  ASSERT_NE(OpenOnFreePort(server), 0);
  EXPECT_EQ(log.Entries(), (Entries{"create", "listening"}));
  TUDTServerSocketThread* d = server.ServerSocketThread();
  EXPECT_TRUE(d->Started());
  EXPECT_EQ(d->ServerSocket(), &server);
  EXPECT_EQ(d->ThreadCacheSize(), 10);
  EXPECT_TRUE(WaitUntil([] { return TThread::RunningThreads() == 1; }))
      << TThread::RunningThreads() << " threads run for one idle server";
}

TEST_F(ServerLifecycleTest, ThreadBlockingServerLeavingThatModeClosesAndItsDispatcherEnds) {
  TUDTServer server(nullptr);
  server.OnAccept = Hub.Handler();
  const uint16_t port = OpenOnFreePort(server);
  ASSERT_NE(port, 0);
  auto client = ConnectClient(port);
  ASSERT_TRUE(client);
  ASSERT_TRUE(Hub.WaitForCount(1));
  client.reset();
  ASSERT_TRUE(Hub.WaitEnded(0));

  server.SetBlockMode(bmBlocking);
  EXPECT_FALSE(server.Listening());
  EXPECT_FALSE(server.Active());
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "the dispatcher outlived the mode change";

  // Back in bmBlocking, the server listens with no thread of its own.
  ASSERT_NE(OpenOnFreePort(server), 0);
  EXPECT_EQ(TThread::RunningThreads(), 0);
  auto second = ConnectClient(LocalPortOf(server.Handle()));
  ASSERT_TRUE(second);
  EXPECT_FALSE(Hub.WaitForCount(2, kQuietSpell)) << "a connection was accepted without Accept";
  Hub.ReleaseAll();
  ASSERT_TRUE(server.Accept());
  ASSERT_EQ(Hub.Count(), 2);
  EXPECT_EQ(Hub.Info(1).Thread, std::this_thread::get_id());
}

TEST_F(ServerLifecycleTest, ActiveWaitsForTheEndOfLoadingAndSettingsMadeMeanwhileCloseNothing) {
  EventLog log;
  TUDTServer server(nullptr);
  server.OnAccept = Hub.Handler();
  log.Attach(server);
  server.BeginLoading();
  server.SetActive(true);
  server.SetLocalHost("127.0.0.1");
  server.SetLocalPort("0");
  server.SetBlockMode(bmBlocking);
  server.SetBlockMode(bmThreadBlocking);
  EXPECT_TRUE(server.Active());
  EXPECT_FALSE(server.Listening());
  EXPECT_EQ(server.Handle(), -1) << "a socket was created while loading";
  EXPECT_TRUE(log.Entries().empty());
  EXPECT_EQ(TThread::RunningThreads(), 0);

  server.EndLoading();
  ASSERT_TRUE(server.Listening()) << "Active did not take effect when loading ended";
  EXPECT_EQ(log.Entries(), (Entries{"create"}));
  EXPECT_TRUE(server.ServerSocketThread()->Started());
  auto client = ConnectClient(LocalPortOf(server.Handle()));
  ASSERT_TRUE(client);
  ASSERT_TRUE(Hub.WaitForCount(1));
  EXPECT_TRUE(Echo(*client, u"loaded"));
}

TEST_F(ServerLifecycleTest, OpeningAListeningServerAgainRebindsAndTheRefusalClosesIt) {
  EventLog log;
  TUDTServer server(nullptr);
  server.SetBlockMode(bmBlocking);
  ASSERT_NE(OpenOnFreePort(server), 0);
  log.Attach(server);
  const int32_t handle = server.Handle();
  server.Open();
  ASSERT_EQ(log.ErrorCodes().size(), 1u);
  EXPECT_EQ(log.ErrorCodes()[0], 5000) << "expected UDT's refusal of a second bind";
  EXPECT_EQ(log.Count("create"), 0) << "a second socket was created";
  EXPECT_EQ(log.Count("destroy"), 1);
  EXPECT_FALSE(server.Listening());
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.Handle(), handle);
}

TEST_F(ServerLifecycleTest, AcceptThatFailsAfterTheServerWasReopenedLeavesTheNewListenerAlone) {
  TUDTServer server(nullptr);
  server.SetBlockMode(bmBlocking);
  ASSERT_NE(OpenOnFreePort(server), 0);

  // The accept on the old listener reports its failure; the report is held
  // until the main thread has opened the server again.
  std::mutex lock;
  std::condition_variable changed;
  bool inOnError = false;
  bool reopened = false;
  server.OnError = [&](TObject*, int32_t, const char*) {
    std::unique_lock<std::mutex> g(lock);
    inOnError = true;
    changed.notify_all();
    changed.wait_for(g, kWaitBound, [&] { return reopened; });
  };
  auto accepting = std::async(std::launch::async, [&] {
    TUDTCustomIpClient accepted(nullptr);
    return server.Accept(accepted);
  });
  ASSERT_EQ(accepting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "Accept returned with nothing pending";

  server.Close();
  {
    std::unique_lock<std::mutex> g(lock);
    ASSERT_TRUE(changed.wait_for(g, kWaitBound, [&] { return inOnError; }))
        << "the accept on the closed listener was not reported";
  }
  server.Open();
  ASSERT_TRUE(server.Listening());
  {
    std::lock_guard<std::mutex> g(lock);
    reopened = true;
    changed.notify_all();
  }
  ASSERT_EQ(accepting.wait_for(kWaitBound), std::future_status::ready);
  EXPECT_FALSE(accepting.get());
  EXPECT_TRUE(server.Listening()) << "the old listener's failure closed the reopened server";
  EXPECT_TRUE(server.Active());
  server.OnError = nullptr;
}

}  // namespace
}  // namespace connection_test
