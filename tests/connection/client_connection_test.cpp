// The client connection: connect and disconnect events and their order, failed
// connects, port texts that cannot be resolved, local binds, and freeing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <cstring>

#include "connection_support.h"

namespace connection_test {
namespace {

using Entries = std::vector<std::string>;

// A listening server whose conversations echo on pooled workers.
class ClientConnectionTest : public ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    MakeServer();
    Port = OpenOnFreePort(*Server);
    ASSERT_NE(Port, 0) << "the server did not listen";
  }
};

TEST_F(ClientConnectionTest, ConnectAndDisconnectFireTheirEventsInOrder) {
  EventLog log;
  auto client = MakeClient(Port);
  log.AttachClient(*client);
  bool connectedInOnConnect = false;
  bool connectedInOnDisconnect = true;
  int32_t stateInOnDisconnect = 0;
  client->OnConnect = [&](TObject* Sender) {
    EXPECT_EQ(Sender, client.get());
    connectedInOnConnect = client->Connected();
    log.Add("connect");
  };
  client->OnDisconnect = [&](TObject* Sender) {
    EXPECT_EQ(Sender, client.get());
    connectedInOnDisconnect = client->Connected();
    stateInOnDisconnect = UDT::getsockstate(client->Handle());
    log.Add("disconnect");
  };

  ASSERT_TRUE(client->Connect());
  EXPECT_EQ(log.Entries(), (Entries{"create", "connect"}));
  EXPECT_TRUE(connectedInOnConnect) << "OnConnect ran before Connected was set";
  EXPECT_TRUE(client->Active());
  EXPECT_TRUE(client->Connected());
  BoundBlockingCalls(client->Handle());
  ASSERT_TRUE(Hub.WaitForCount(1)) << "the server never served the connection";
  EXPECT_TRUE(Echo(*client, u"hello"));

  // Opening a connected client does nothing.
  const int32_t handle = client->Handle();
  client->Open();
  EXPECT_EQ(client->Handle(), handle);
  EXPECT_EQ(log.Entries(), (Entries{"create", "connect"}));

  client->Disconnect();
  EXPECT_EQ(log.Entries(), (Entries{"create", "connect", "disconnect", "destroy"}));
  EXPECT_FALSE(connectedInOnDisconnect) << "OnDisconnect saw Connected still true";
  EXPECT_EQ(stateInOnDisconnect, CONNECTED) << "the socket was closed before OnDisconnect";
  EXPECT_FALSE(client->Active());
  EXPECT_FALSE(client->Connected());
  ASSERT_TRUE(Hub.WaitEnded(0)) << "the server did not notice the disconnect";

  // Closing a closed client does nothing.
  client->Close();
  EXPECT_EQ(log.Count("destroy"), 1);
  EXPECT_TRUE(log.ErrorCodes().empty());
}

TEST_F(ClientConnectionTest, FreeingAConnectedClientReportsTheDisconnectBeforeClosing) {
  EventLog log;
  auto client = MakeClient(Port);
  log.AttachClient(*client);
  int32_t stateInOnDisconnect = 0;
  client->OnDisconnect = [&](TObject* Sender) {
    stateInOnDisconnect = UDT::getsockstate(static_cast<TUDTCustomIpClient*>(Sender)->Handle());
    log.Add("disconnect");
  };
  ASSERT_TRUE(client->Connect());
  ASSERT_TRUE(Hub.WaitForCount(1));

  client.reset();
  EXPECT_EQ(log.Entries(), (Entries{"create", "connect", "disconnect", "destroy"}));
  EXPECT_EQ(stateInOnDisconnect, CONNECTED);
  EXPECT_TRUE(Hub.WaitEnded(0)) << "the server's conversation did not see the peer go";
}

TEST_F(ClientConnectionTest, FailedConnectLeavesTheClientClosedAndTheNextOpenStartsAfresh) {
  // A server that never accepts: its backlog of 5 fills, and UDT rejects the sixth.
  TUDTServer blocking(nullptr);
  blocking.SetBlockMode(bmBlocking);
  const uint16_t port = OpenOnFreePort(blocking);
  ASSERT_NE(port, 0);
  std::vector<std::unique_ptr<TUDTClient>> queued;
  for (int i = 0; i < 5; ++i) {
    queued.push_back(ConnectClient(port));
    ASSERT_TRUE(queued.back()) << "queued connection " << i << " failed";
  }

  EventLog log;
  auto client = MakeClient(port);
  log.AttachClient(*client);
  EXPECT_FALSE(client->Connect());
  EXPECT_EQ(log.Entries(), (Entries{"create", "error:1002", "destroy"}));
  EXPECT_FALSE(client->Active());
  EXPECT_FALSE(client->Connected());
  const int32_t failedHandle = client->Handle();

  // Kept open: a connection closed at once could let a repeated connect of the
  // same client queue up again in UDT4. Two slots: a late duplicate of the
  // refused client's request, which UDT4's connect can send, may take one.
  TUDTCustomIpClient accepted(nullptr), acceptedToo(nullptr);
  ASSERT_TRUE(blocking.Accept(accepted)) << "could not make room in the backlog";
  ASSERT_TRUE(blocking.Accept(acceptedToo)) << "could not make room in the backlog";
  EXPECT_TRUE(client->Connect()) << "a failed client could not connect again";
  EXPECT_EQ(log.Entries(), (Entries{"create", "error:1002", "destroy", "create", "connect"}));
  EXPECT_NE(client->Handle(), failedHandle) << "the failed UDT socket was reused";
  EXPECT_EQ(UDT::getsockstate(client->Handle()), CONNECTED);
}

TEST_F(ClientConnectionTest, PortTextThatIsNoPortRaisesAndLeavesTheSocketOpenButNotConnected) {
  EventLog log;
  auto client = MakeClient(Port);
  client->SetRemotePort("no-such-service-here");
  log.AttachClient(*client);

  EXPECT_THROW(client->Connect(), EConvertError);
  EXPECT_TRUE(client->Active());
  EXPECT_FALSE(client->Connected());
  EXPECT_EQ(log.Entries(), (Entries{"create"})) << "no error event for a port text";
  const int32_t handle = client->Handle();
  EXPECT_NE(UDT::getsockstate(handle), NONEXIST);

  // Opening again resumes on the same socket.
  EXPECT_THROW(client->Open(), EConvertError);
  EXPECT_EQ(client->Handle(), handle);
  EXPECT_EQ(log.Entries(), (Entries{"create"}));

  // An open, never connected client closes without a disconnect.
  client->Close();
  EXPECT_EQ(log.Entries(), (Entries{"create", "destroy"}));
  EXPECT_FALSE(client->Active());
}

TEST_F(ClientConnectionTest, LocalPortBindsTheClientAndTheServerSeesThatPort) {
  for (const char* localHost : {"127.0.0.1", ""}) {
    SCOPED_TRACE(std::string("LocalHost '") + localHost + "'");
    const uint16_t localPort = FreeUdpPort();
    ASSERT_NE(localPort, 0);
    const int before = Hub.Count();
    auto client = MakeClient(Port);
    client->SetLocalHost(localHost);
    client->SetLocalPort(std::to_string(localPort));
    ASSERT_TRUE(client->Connect());
    EXPECT_EQ(LocalPortOf(client->Handle()), localPort);
    ASSERT_TRUE(Hub.WaitForCount(before + 1));
    EXPECT_EQ(Hub.Info(before).RemotePort, std::to_string(localPort));
    EXPECT_EQ(Hub.Info(before).RemoteHost, "127.0.0.1");
  }
}

TEST_F(ClientConnectionTest, LocalBindFailureIsReportedAndTheConnectOnTheClosedSocketToo) {
  // A port held by a plain datagram socket cannot be bound by UDT.
  const HeldUdpPort held;
  ASSERT_NE(held.Port(), 0);

  EventLog log;
  auto client = MakeClient(Port);
  client->SetLocalHost("127.0.0.1");
  client->SetLocalPort(std::to_string(held.Port()));
  log.AttachClient(*client);
  EXPECT_FALSE(client->Connect());

  const auto codes = log.ErrorCodes();
  ASSERT_EQ(codes.size(), 2u) << "expected one error for the bind and one for the connect";
  EXPECT_EQ(codes[0], 1003);
  EXPECT_EQ(log.Count("destroy"), 1);
  EXPECT_EQ(log.Count("connect"), 0);
  EXPECT_FALSE(client->Active());
  EXPECT_FALSE(client->Connected());
}

TEST_F(ClientConnectionTest, GetThreadObjectIsNoneOutsidePooledWorkers) {
  auto client = MakeClient(Port);
  EXPECT_EQ(client->GetThreadObject(), nullptr);
  TUDTClientSocketThread* onOtherThread = reinterpret_cast<TUDTClientSocketThread*>(1);
  std::thread([&] { onOtherThread = client->GetThreadObject(); }).join();
  EXPECT_EQ(onOtherThread, nullptr);
}

}  // namespace
}  // namespace connection_test
