// The real server under load: more clients at once than its pool has workers,
// and a long run of short connections one after another.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hostile_conversations.h"
#include "hostile_peer.h"
#include "process_probe.h"
#include "server_test_support.h"
#include "thread.h"
#include "exchange_protocol.h"

namespace reliability_test {
namespace {

using namespace server_test;
using std::chrono::milliseconds;

class Load : public ServerFixture {
 protected:
  int PoolSize() {
    TUDTServerSocketThread* d = FForm->UdtServer1()->ServerSocketThread();
    return d ? static_cast<int>(d->ThreadPool().size()) : -1;
  }
};

TEST_F(Load, TwentyClientsAtOnceAgainstAPoolOfTenAreAllServed) {
  constexpr int kClients = 20;
  constexpr int kMessages = 5;
  std::atomic<int> done{0};
  std::atomic<int> served{0};
  std::atomic<int> mostAtOnce{0};
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      THostilePeer peer;
      // Beyond ten conversations and a backlog of five, UDT4 refuses connections;
      // the peer tries again until a worker is free (at most a minute).
      if (!peer.Connect(FPort, 60000)) {
        failures[c] = "no connection";
      } else {
        for (int m = 0; m < kMessages && failures[c].empty(); ++m) {
          const std::u16string text = u"client " + U16(std::to_string(c)) + u" message " + U16(std::to_string(m));
          if (!peer.Send(WireFrame(text))) failures[c] = "send failed";
          const std::string want = WireFrame(protocol::Reply(text));
          if (peer.Receive(want.size(), 10000) != want) failures[c] = "no reply to message " + std::to_string(m);
          // The conversation is held a while, so the pool stays full.
          std::this_thread::sleep_for(milliseconds(100));
        }
        if (failures[c].empty()) ++served;
        peer.Close();
      }
      ++done;
    });
  const bool finished = WaitWithEvents(
      [&] {
        mostAtOnce = std::max(mostAtOnce.load(), FForm->ConversationCount());
        return done == kClients;
      },
      milliseconds(120000));
  if (!finished) {
    ADD_FAILURE() << "clients still waiting: a deadlock";
    std::_Exit(1);
  }
  for (auto& t : clients) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], "") << "client " << c;
  EXPECT_EQ(served, kClients);
  EXPECT_LE(mostAtOnce, 10);
  EXPECT_EQ(PoolSize(), 10);
  // A client refused while the backlog was full may still have left a
  // connection behind in UDT4's queue (its handshake was answered after it had
  // given up); the worker that accepts it waits for a dead peer until UDT4
  // breaks the connection, about 46 s.
  QElapsedTimer ending;
  ending.start();
  EXPECT_TRUE(WaitWithEvents([&] { return FForm->ConversationCount() == 0; }, milliseconds(90000)))
      << FForm->ConversationCount() << " conversations still running";
  std::printf("[figure] %d clients served, at most %d conversations at once, pool of %d; "
              "the last conversation ended %lld ms after the clients left\n",
              served.load(), mostAtOnce.load(), PoolSize(), static_cast<long long>(ending.elapsed()));
}

TEST_F(Load, FiveHundredConnectionsOneAfterAnotherAreAllServed) {
  constexpr int kConnections = 500;
  const auto start = std::chrono::steady_clock::now();
  int served = 0;
  for (int i = 0; i < kConnections; ++i) {
    RawClient c;
    ASSERT_TRUE(c.Connect(FPort)) << "connection " << i;
    const std::u16string text = u"one of many " + U16(std::to_string(i));
    auto reply = c.Exchange(text);
    ASSERT_TRUE(reply && *reply == protocol::Reply(text)) << "connection " << i << " was not answered";
    ++served;
    // Keeps the log moving so the main thread's queue does not pile up.
    if (i % 50 == 0) WaitWithEvents([] { return true; });
  }
  const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(served, kConnections);
  EXPECT_TRUE(WaitWithEvents([&] { return FForm->ConversationCount() == 0; }));
  EXPECT_LE(PoolSize(), 10);
  // Each conversation left its three lines: accepted, the message, terminated.
  EXPECT_TRUE(WaitWithEvents([&] { return FView.Log.size() >= 3u * kConnections; }))
      << FView.Log.size() << " log lines";
  std::printf("[figure] %d connections one after another in %lld ms, pool of %d\n", served,
              static_cast<long long>(took.count()), PoolSize());
}

}  // namespace
}  // namespace reliability_test
