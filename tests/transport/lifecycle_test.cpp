// The base socket's life: opening and closing, the events and counters around
// them, the error path of each failure, property changes and loading.
#include <gtest/gtest.h>
#include <udt/udt.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base_socket.h"
#include "udt_h.h"
#include "udt_peer.h"

using namespace transport_test;

namespace {

// Clears the binding's test hooks when the test ends, however it ends.
struct HookGuard {
  ~HookGuard() {
    udt_SetSockOptHook(nullptr);
    udt_SetSocketHook(nullptr);
  }
};

// Sends 5 bytes and receives 3, so that both counters are non-zero.
void MakeTraffic(TUDTBaseSocket& c, RawSocket& peer) {
  ASSERT_EQ(c.SendBuf("12345", 5), 5);
  ASSERT_EQ(peer.RecvExactly(5), "12345");
  ASSERT_TRUE(peer.SendAll("xyz"));
  char buf[3];
  ASSERT_EQ(c.ReceiveBuf(buf, 3), 3);
  ASSERT_EQ(c.BytesSent(), 5u);
  ASSERT_EQ(c.BytesReceived(), 3u);
}

bool IsClosedInUdt(UDTSOCKET h) { return StateOf(h) == CLOSED || StateOf(h) == NONEXIST; }

class BaseSocketLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    FSocket.SetDomain(pfINET);
    FLog.AttachWithTransfers(FSocket);
  }
  EventLog FLog;  // declared first: it outlives the socket's last events
  TUDTBaseSocket FSocket{nullptr};
};

TEST(BaseSocketDefaults, NewObjectIsClosedWithDefaultProperties) {
  TUDTBaseSocket s(nullptr);
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.Handle(), -1);
  EXPECT_EQ(s.Domain(), pfUnspec);
  EXPECT_EQ(s.SockType(), stStream);
  EXPECT_EQ(s.BlockMode(), bmBlocking);
  EXPECT_EQ(s.BytesSent(), 0u);
  EXPECT_EQ(s.BytesReceived(), 0u);
}

TEST_F(BaseSocketLifecycle, OpenCreatesASocketWithTheSegmentSize) {
  FSocket.Open();
  ASSERT_TRUE(FSocket.Active());
  ASSERT_NE(FSocket.Handle(), -1);
  EXPECT_EQ(StateOf(FSocket.Handle()), INIT);
  int mss = 0;
  int len = sizeof mss;
  ASSERT_EQ(UDT::getsockopt(FSocket.Handle(), 0, UDT_MSS, &mss, &len), 0);
  EXPECT_EQ(mss, 1052);
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"create"});
}

TEST_F(BaseSocketLifecycle, OpenHandsTheMappedDomainAndTypeToUdt) {
  HookGuard guard;
  std::vector<std::vector<int32_t>> calls;
  udt_SetSocketHook([&](int32_t af, int32_t type, int32_t protocol) {
    calls.push_back({af, type, protocol});
    return udt_socket_direct(af, type, protocol);
  });
  FSocket.SetSockType(stDgram);
  FSocket.Open();
  FSocket.Close();
  FSocket.SetDomain(pfUnspec);
  FSocket.SetSockType(stStream);
  FSocket.Open();
  std::vector<std::vector<int32_t>> expected{{2, 2, 0}, {0, 1, 0}};
  EXPECT_EQ(calls, expected);
}

TEST_F(BaseSocketLifecycle, OpenOnAnOpenSocketDoesNothing) {
  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  MakeTraffic(FSocket, peer);
  const int32_t h = FSocket.Handle();
  FLog.Clear();

  FSocket.Open();
  EXPECT_EQ(FSocket.Handle(), h);
  EXPECT_TRUE(FLog.Entries().empty());
  EXPECT_EQ(FSocket.BytesSent(), 5u);
  EXPECT_EQ(FSocket.BytesReceived(), 3u);
  EXPECT_EQ(StateOf(h), CONNECTED);
}

TEST_F(BaseSocketLifecycle, CloseFiresDestroyHandleAndKeepsTheHandle) {
  FSocket.Open();
  const int32_t h = FSocket.Handle();
  FSocket.Close();
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.Handle(), h);
  EXPECT_TRUE(IsClosedInUdt(h));
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"create", "destroy"}));
}

TEST_F(BaseSocketLifecycle, CloseOnAClosedSocketDoesNothing) {
  FSocket.Close();  // never opened
  EXPECT_TRUE(FLog.Entries().empty());
  EXPECT_EQ(FSocket.Handle(), -1);

  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  MakeTraffic(FSocket, peer);
  FSocket.Close();
  FLog.Clear();
  FSocket.Close();
  EXPECT_TRUE(FLog.Entries().empty()) << "no UDT call, so no error, and no event";
  EXPECT_EQ(FSocket.BytesSent(), 5u);
  EXPECT_EQ(FSocket.BytesReceived(), 3u);
}

TEST_F(BaseSocketLifecycle, ReopenResetsTheCountersAndTakesANewHandle) {
  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  MakeTraffic(FSocket, peer);
  const int32_t first = FSocket.Handle();
  FSocket.Close();
  EXPECT_EQ(FSocket.BytesSent(), 5u) << "Close leaves the counters";
  FSocket.Open();
  EXPECT_TRUE(FSocket.Active());
  EXPECT_NE(FSocket.Handle(), first);
  EXPECT_EQ(FSocket.BytesSent(), 0u);
  EXPECT_EQ(FSocket.BytesReceived(), 0u);
}

TEST_F(BaseSocketLifecycle, FailingSocketCreationReportsOnceAndLeavesNoHandle) {
  HookGuard guard;
  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  MakeTraffic(FSocket, peer);
  FSocket.Close();
  FLog.Clear();

  // UDT4 itself refuses a socket type it does not know.
  udt_SetSocketHook([](int32_t af, int32_t, int32_t protocol) {
    return udt_socket_direct(af, 0, protocol);
  });
  FSocket.Open();
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"error:5003"});
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.Handle(), -1);
  EXPECT_EQ(FSocket.BytesSent(), 5u);
  EXPECT_EQ(FSocket.BytesReceived(), 3u);
}

TEST_F(BaseSocketLifecycle, FailingSegmentSizeReportsThenClosesAndResetsCounters) {
  HookGuard guard;
  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  MakeTraffic(FSocket, peer);
  const int32_t first = FSocket.Handle();
  FSocket.Close();
  FLog.Clear();

  udt_SetSockOptHook([](int32_t u, int32_t level, int32_t opt, const void*, int32_t len) {
    int32_t tooSmall = 75;
    return udt_setsockopt_direct(u, level, opt, &tooSmall, len);
  });
  FSocket.Open();
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"error:5003", "destroy"}));
  EXPECT_FALSE(FSocket.Active());
  EXPECT_NE(FSocket.Handle(), -1);
  EXPECT_NE(FSocket.Handle(), first);
  EXPECT_TRUE(IsClosedInUdt(FSocket.Handle())) << "the new socket was closed again";
  EXPECT_EQ(FSocket.BytesSent(), 0u);
  EXPECT_EQ(FSocket.BytesReceived(), 0u);
}

TEST_F(BaseSocketLifecycle, FailedCallReportsThenCloses) {
  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  MakeTraffic(FSocket, peer);
  peer.Close();
  ASSERT_TRUE(WaitUntil([&] { return StateOf(FSocket.Handle()) != CONNECTED; }))
      << "the peer's close never arrived";
  FLog.Clear();

  EXPECT_EQ(FSocket.SendBuf("abc", 3), -1);
  ASSERT_EQ(FLog.Entries().size(), 3u);
  EXPECT_EQ(FLog.Entries()[0], "send:3");
  EXPECT_TRUE(FLog.Entries()[1] == "error:2001" || FLog.Entries()[1] == "error:5004")
      << FLog.Entries()[1];
  EXPECT_EQ(FLog.Entries()[2], "destroy");
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.BytesSent(), 5u);
  ASSERT_EQ(FLog.ErrorTexts().size(), 1u);
  EXPECT_FALSE(FLog.ErrorTexts()[0].empty());
}

TEST_F(BaseSocketLifecycle, ErrorHandlerGetsAnErrorTextThatOutlivesItsOwnUdtCalls) {
  FSocket.Open();
  FSocket.Close();
  std::string before;
  std::string after;
  std::string other;
  FSocket.OnError = [&](TObject*, int32_t, const char* desc) {
    before = desc;
    // The handler's own failing call replaces the thread's last UDT error.
    UDTSOCKET t = UDT::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(UDT::listen(t, 5), -1);
    other = UDT::getlasterror_desc();
    UDT::close(t);
    after = desc;
  };
  char b = 'x';
  EXPECT_EQ(FSocket.SendBuf(&b, 1), -1);
  EXPECT_FALSE(before.empty());
  EXPECT_NE(other, before);
  EXPECT_EQ(after, before);
}

TEST_F(BaseSocketLifecycle, ExceptionFromAnEventHandlerLeavesTheOperation) {
  FSocket.Open();
  FSocket.Close();
  FSocket.OnError = [](TObject*, int32_t, const char*) {
    throw std::runtime_error("from OnError");
  };
  char b = 'x';
  EXPECT_THROW(FSocket.SendBuf(&b, 1), std::runtime_error);

  FSocket.OnSend = [](TObject*, void*, int32_t&) { throw std::logic_error("from OnSend"); };
  EXPECT_THROW(FSocket.SendBuf(&b, 1), std::logic_error);
}

TEST_F(BaseSocketLifecycle, CloseOfASocketClosedBehindItsBackReportsNothing) {
  FSocket.Open();
  ASSERT_EQ(UDT::close(FSocket.Handle()), 0);
  FSocket.Close();
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"create", "destroy"}));
}

TEST_F(BaseSocketLifecycle, CloseOfASocketUdtAlreadyReapedReportsNothing) {
  RawListener listener;
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer));
  peer.Close();
  // UDT's garbage collector frees a connection its peer closed within a few seconds.
  ASSERT_TRUE(WaitUntil([&] { return IsClosedInUdt(FSocket.Handle()); }))
      << "UDT never reaped the broken connection";
  FLog.Clear();
  FSocket.Close();
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"destroy"});
  EXPECT_FALSE(FSocket.Active());
}

TEST_F(BaseSocketLifecycle, ActivePropertyOpensAndCloses) {
  FSocket.SetActive(true);
  EXPECT_TRUE(FSocket.Active());
  const int32_t h = FSocket.Handle();
  FSocket.SetActive(true);
  EXPECT_EQ(FSocket.Handle(), h);
  FSocket.SetActive(false);
  EXPECT_FALSE(FSocket.Active());
  EXPECT_TRUE(IsClosedInUdt(h));
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"create", "destroy"}));
}

TEST_F(BaseSocketLifecycle, SameSocketPropertyValueKeepsTheSocketOpen) {
  FSocket.Open();
  FSocket.SetDomain(pfINET);
  FSocket.SetSockType(stStream);
  FSocket.SetBlockMode(bmBlocking);
  EXPECT_TRUE(FSocket.Active());
  EXPECT_EQ(FLog.Count("destroy"), 0);
}

TEST_F(BaseSocketLifecycle, ChangedSocketPropertyClosesWithoutReopening) {
  FSocket.Open();
  FSocket.SetSockType(stDgram);
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.SockType(), stDgram);
  FSocket.Open();
  FSocket.SetBlockMode(bmNonBlocking);
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.BlockMode(), bmNonBlocking);
  FSocket.Open();
  FSocket.SetDomain(pfINET6);
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.Domain(), pfINET6);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"create", "destroy", "create", "destroy",
                                                      "create", "destroy"}));
}

TEST_F(BaseSocketLifecycle, NewSocketTypeTakesEffectAtTheNextOpen) {
  FSocket.SetSockType(stDgram);
  RawListener listener(SOCK_DGRAM);
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(FSocket, listener, peer)) << "a datagram peer accepts only "
                                                            "a datagram socket";
  ASSERT_EQ(FSocket.SendBuf("hi", 2), 2);
  EXPECT_EQ(peer.RecvMsg(), std::optional<std::string>("hi"));
}

TEST_F(BaseSocketLifecycle, LoadingDefersActiveUntilLoaded) {
  FSocket.BeginLoading();
  FSocket.SetActive(true);
  EXPECT_EQ(FSocket.Handle(), -1) << "no socket while loading";
  FSocket.SetSockType(stDgram);
  EXPECT_TRUE(FLog.Entries().empty());
  FSocket.EndLoading();
  EXPECT_FALSE(FSocket.IsLoading());
  EXPECT_TRUE(FSocket.Active());
  ASSERT_NE(FSocket.Handle(), -1);
  EXPECT_EQ(StateOf(FSocket.Handle()), INIT);
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"create"});
}

TEST_F(BaseSocketLifecycle, PropertyChangeWhileLoadingKeepsAnOpenSocket) {
  FSocket.Open();
  const int32_t h = FSocket.Handle();
  FSocket.BeginLoading();
  FSocket.SetSockType(stDgram);
  FSocket.SetBlockMode(bmNonBlocking);
  EXPECT_TRUE(FSocket.Active());
  EXPECT_EQ(StateOf(h), INIT);
  EXPECT_EQ(FLog.Count("destroy"), 0);
}

TEST_F(BaseSocketLifecycle, DesignModeNeverOpens) {
  FSocket.SetDesigning(true);
  FSocket.BeginLoading();
  FSocket.SetActive(true);
  FSocket.EndLoading();
  EXPECT_EQ(FSocket.Handle(), -1);
  EXPECT_TRUE(FLog.Entries().empty());
}

TEST(BaseSocketOwnership, DestroyClosesTheSocket) {
  EventLog log;
  int32_t h = -1;
  {
    TUDTBaseSocket s(nullptr);
    s.SetDomain(pfINET);
    log.AttachWithTransfers(s);
    s.Open();
    h = s.Handle();
  }
  EXPECT_TRUE(IsClosedInUdt(h));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create", "destroy"}));
}

TEST(BaseSocketOwnership, FreedWhileLoadingWithActiveStoredClosesNothing) {
  EventLog log;
  {
    TUDTBaseSocket s(nullptr);
    s.SetDomain(pfINET);
    log.AttachWithTransfers(s);
    s.BeginLoading();
    s.SetActive(true);
    EXPECT_TRUE(s.Active());
  }
  EXPECT_TRUE(log.Entries().empty()) << "no socket was created, so none may be reported closed";
}

TEST_F(BaseSocketLifecycle, LoadingAnAlreadyOpenSocketKeepsItsHandle) {
  FSocket.Open();
  const int32_t h = FSocket.Handle();
  FSocket.BeginLoading();
  FSocket.EndLoading();
  EXPECT_EQ(FSocket.Handle(), h) << "loading must not open a second socket over the first";
  EXPECT_EQ(FLog.Count("create"), 1);
}

TEST(BaseSocketOwnership, OwnerFreesItsSockets) {
  EventLog log;
  int32_t h = -1;
  {
    TComponent owner(nullptr);
    auto* s = new TUDTBaseSocket(&owner);
    s->SetDomain(pfINET);
    log.AttachWithTransfers(*s);
    s->Open();
    h = s->Handle();
  }
  EXPECT_TRUE(IsClosedInUdt(h));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create", "destroy"}));
}

TEST(BaseSocketOwnership, SocketFreedBeforeItsOwnerLeavesTheOwner) {
  EventLog log;
  {
    TComponent owner(nullptr);
    auto* first = new TUDTBaseSocket(&owner);
    auto* second = new TUDTBaseSocket(&owner);
    second->SetDomain(pfINET);
    log.AttachWithTransfers(*second);
    second->Open();
    delete first;  // the owner must not free it again
  }
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create", "destroy"}));
}

TEST(BaseSocketOwnership, ClassNameIsTheBareClassName) {
  TUDTBaseSocket s(nullptr);
  EXPECT_EQ(s.ClassName(), "TUDTBaseSocket");
}

}  // namespace
