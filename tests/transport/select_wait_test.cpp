// Select and WaitForData over real loopback connections: time-outs of 1500, 0
// and none, readiness flags, closed and broken sockets, the liveness probe.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <udt/udt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base_socket.h"
#include "udt_peer.h"

using namespace transport_test;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

class ConnectedForWaiting : public ::testing::Test {
 protected:
  void SetUp() override {
    FSocket.SetDomain(pfINET);
    ASSERT_TRUE(ConnectToRawPeer(FSocket, FListener, FPeer));
    FLog.AttachWithTransfers(FSocket);
  }
  // Waits until sent data has reached the component's receive buffer.
  bool DataArrived() {
    return WaitUntil([&] {
      int n = 0;
      int len = sizeof n;
      return UDT::getsockopt(FSocket.Handle(), 0, UDT_RCVDATA, &n, &len) == 0 && n > 0;
    });
  }
  EventLog FLog;  // declared first: it outlives the socket's last events
  TUDTBaseSocket FSocket{nullptr};
  RawListener FListener;
  RawSocket FPeer;
};

using SelectTest = ConnectedForWaiting;
using WaitForDataTest = ConnectedForWaiting;

TEST_F(SelectTest, PendingDataMakesItReadyAtOnce) {
  ASSERT_TRUE(FPeer.SendAll("x"));
  ASSERT_TRUE(DataArrived());
  bool readReady = false, writeReady = false, except = true;
  EXPECT_TRUE(FSocket.Select(&readReady, &writeReady, &except, 1500));
  EXPECT_TRUE(readReady);
  EXPECT_TRUE(writeReady);
  EXPECT_FALSE(except);
  EXPECT_TRUE(FLog.Entries().empty()) << "Select receives nothing";
}

TEST_F(SelectTest, TimeOutOf1500WaitsOneAndAHalfSecondsWhenNothingArrives) {
  bool readReady = true, except = true;
  Watchdog dog(FPeer);
  const auto start = steady_clock::now();
  const bool ready = FSocket.Select(&readReady, nullptr, &except, 1500);
  const auto waited = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
  dog.Disarm();
  ASSERT_FALSE(dog.Fired()) << "Select did not return within the bound";
  EXPECT_FALSE(ready);
  EXPECT_FALSE(readReady) << "the flag shows the set as UDT left it";
  EXPECT_FALSE(except);
  EXPECT_GE(waited.count(), 1450) << "returned before its time-out";
  EXPECT_TRUE(FSocket.Active());
}

TEST_F(SelectTest, TimeOutOfZeroPolls) {
  bool readReady = true;
  Watchdog dog(FPeer);
  const bool ready = FSocket.Select(&readReady, nullptr, nullptr, 0);
  dog.Disarm();
  ASSERT_FALSE(dog.Fired()) << "a poll blocked";
  EXPECT_FALSE(ready);
  EXPECT_FALSE(readReady);

  ASSERT_TRUE(FPeer.SendAll("x"));
  ASSERT_TRUE(DataArrived());
  EXPECT_TRUE(FSocket.Select(&readReady, nullptr, nullptr, 0));
  EXPECT_TRUE(readReady);
}

TEST_F(SelectTest, NegativeTimeOutWaitsForDataFromAnotherThread) {
  const pid_t selecting = gettid();
  std::atomic<bool> started{false};
  bool sent = false;
  std::thread sender([&] {
    WaitUntil([&] { return started.load(); });
    // Send once the selecting thread blocks inside Select.
    WaitUntil([&] { return ThreadIsBlocked(selecting); });
    sent = FPeer.SendAll("late");
  });
  Watchdog dog(FPeer);
  bool readReady = false;
  started = true;
  const bool ready = FSocket.Select(&readReady, nullptr, nullptr, -1);
  dog.Disarm();
  sender.join();
  ASSERT_FALSE(dog.Fired()) << "Select never saw the data";
  ASSERT_TRUE(sent);
  EXPECT_TRUE(ready);
  EXPECT_TRUE(readReady);
  char buf[8];
  EXPECT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), 4);
}

TEST_F(SelectTest, ConnectedSocketIsWriteReady) {
  bool writeReady = false;
  EXPECT_TRUE(FSocket.Select(nullptr, &writeReady, nullptr, 0));
  EXPECT_TRUE(writeReady);
}

TEST_F(SelectTest, ClosedSocketGivesFalseAndLeavesTheFlags) {
  FSocket.Close();
  FLog.Clear();
  bool readReady = true, writeReady = false, except = true;
  EXPECT_FALSE(FSocket.Select(&readReady, &writeReady, &except, 1500));
  EXPECT_TRUE(readReady);
  EXPECT_FALSE(writeReady);
  EXPECT_TRUE(except);
  EXPECT_TRUE(FLog.Entries().empty()) << "no UDT call on a closed socket";
}

TEST_F(SelectTest, FailedSelectReportsAndCloses) {
  FPeer.Close();
  ASSERT_TRUE(WaitUntil([&] {
    auto st = StateOf(FSocket.Handle());
    return st == CLOSED || st == NONEXIST;
  })) << "UDT never reaped the broken connection";
  bool readReady = false;
  EXPECT_FALSE(FSocket.Select(&readReady, nullptr, nullptr, 0));
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"error:5004", "destroy"}));
  EXPECT_FALSE(FSocket.Active());
}

TEST_F(SelectTest, ExceptionFromTheErrorPathIsSuppressed) {
  FPeer.Close();
  ASSERT_TRUE(WaitUntil([&] {
    auto st = StateOf(FSocket.Handle());
    return st == CLOSED || st == NONEXIST;
  })) << "UDT never reaped the broken connection";
  FSocket.OnError = [](TObject*, int32_t, const char*) { throw std::runtime_error("x"); };
  bool readReady = false;
  bool ready = true;
  EXPECT_NO_THROW(ready = FSocket.Select(&readReady, nullptr, nullptr, 0));
  EXPECT_FALSE(ready);
}

TEST_F(WaitForDataTest, LiveConnectionWithDataGivesTrueAndProbesOnce) {
  ASSERT_TRUE(FPeer.SendAll("x"));
  Watchdog dog(FPeer);
  EXPECT_TRUE(FSocket.WaitForData(-1));
  dog.Disarm();
  ASSERT_FALSE(dog.Fired());
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"recv:0"});
  EXPECT_EQ(FSocket.BytesReceived(), 0u);
  EXPECT_TRUE(FSocket.Active());
  char c;
  ASSERT_EQ(FSocket.ReceiveBuf(&c, 1), 1) << "the probe took nothing";
  EXPECT_EQ(c, 'x');
}

TEST_F(WaitForDataTest, TimeOutOnALiveConnectionGivesFalseAndStaysOpen) {
  EXPECT_FALSE(FSocket.WaitForData(100));
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"recv:0"});
  EXPECT_TRUE(FSocket.Active());
}

TEST_F(WaitForDataTest, PeerClosedGivesFalseReportsAndCloses) {
  FPeer.Close();
  Watchdog dog(FPeer);
  EXPECT_FALSE(FSocket.WaitForData(-1));
  dog.Disarm();
  EXPECT_FALSE(FSocket.Active());
  ASSERT_FALSE(FLog.Entries().empty());
  EXPECT_EQ(FLog.Entries()[0].rfind("error:", 0), 0u) << FLog.Entries()[0];
  EXPECT_EQ(FLog.Count("destroy"), 1);
  EXPECT_EQ(FLog.Count("recv:"), 0);
}

}  // namespace
