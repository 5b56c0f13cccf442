#include "udt_peer.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace transport_test {

::testing::AssertionResult ConnectToRawPeer(TUDTBaseSocket& c, RawListener& listener,
                                            RawSocket& peer) {
  if (!listener.Ok()) return ::testing::AssertionFailure() << "raw listener did not start";
  if (!c.Active()) c.Open();
  if (!c.Active()) return ::testing::AssertionFailure() << "component did not open";
  sockaddr_in to = Loopback(listener.Port());
  if (udt_connect(c.Handle(), &to, sizeof to) != 0) {
    const char* desc = nullptr;
    int code = udt_getlasterror2(&desc);
    return ::testing::AssertionFailure() << "connect failed: " << code << " " << desc;
  }
  peer = listener.Accept();
  if (!peer.Valid()) return ::testing::AssertionFailure() << "no connection to accept";
  if (c.SockType() == stStream) {
    BoundBlockingCalls(peer.Get());
    BoundBlockingCalls(c.Handle());
  }
  return Settle(c.Handle(), peer.Get(), c.SockType() == stDgram);
}

Watchdog::Watchdog(RawSocket& peer) {
  FThread = std::thread([this, &peer] {
    std::unique_lock<std::mutex> lock(FMutex);
    if (!FCond.wait_for(lock, kWaitBound, [this] { return FDisarmed; })) {
      FFired = true;
      peer.Close();
    }
  });
}

void Watchdog::Disarm() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FDisarmed = true;
  }
  FCond.notify_all();
  if (FThread.joinable()) FThread.join();
}

void ConnectedSocketTest::Connect(TUDTSocketType type) {
  FSocket.SetDomain(pfINET);
  FSocket.SetSockType(type);
  FListener = std::make_unique<RawListener>(type == stStream ? SOCK_STREAM : SOCK_DGRAM);
  ASSERT_TRUE(ConnectToRawPeer(FSocket, *FListener, FPeer));
  FDog = std::make_unique<Watchdog>(FPeer);
  FLog.AttachWithTransfers(FSocket);
}

void ConnectedSocketTest::TearDown() {
  if (FDog) {
    FDog->Disarm();
    EXPECT_FALSE(FDog->Fired()) << "the test hung until the watchdog closed the peer";
  }
}

}  // namespace transport_test
