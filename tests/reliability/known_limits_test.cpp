// The two limits the exchange keeps by design, measured: it has no time limits,
// so a silent peer holds its worker for as long as it stays, and a peer that dies
// without closing is noticed only when UDT4 declares the connection broken.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <memory>

#include "server_test_support.h"
#include "udp_relay.h"

namespace reliability_test {
namespace {

using namespace server_test;
using std::chrono::milliseconds;

// UDT4 gives up on a silent peer after 16 expirations of its timer, about 46 s
// on loopback; a silent but living peer must outlast that.
constexpr milliseconds kBeyondUdtBreak{50000};

class KnownLimits : public ServerFixture {};

TEST_F(KnownLimits, IdlePeerHoldsItsWorkerForAsLongAsItStays) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  ASSERT_TRUE(WaitWithEvents([&] { return FForm->ConversationCount() == 1; }));
  QElapsedTimer idle;
  idle.start();
  // Watches the conversation for longer than UDT4 would take to break a dead one.
  const bool ended = WaitWithEvents([&] { return FForm->ConversationCount() != 1; }, kBeyondUdtBreak);
  EXPECT_FALSE(ended) << "the conversation of a silent peer ended after " << idle.elapsed() << " ms";
  auto reply = c.Exchange(u"still here");
  EXPECT_TRUE(reply && *reply == u"Act: still here");
  std::printf("[figure] a silent peer held its worker for %lld ms and was then answered\n",
              static_cast<long long>(idle.elapsed()));
}

TEST_F(KnownLimits, PeerThatDiesWithoutClosingIsNoticedWhenUdtBreaksTheConnection) {
  auto relay = std::make_unique<TUdpRelay>(FPort, TLinkImpairment{}, 1);
  ASSERT_NE(relay->Port(), 0);
  RawClient c;
  ASSERT_TRUE(c.Connect(relay->Port()));
  ASSERT_TRUE(c.Exchange(u"alive").has_value());
  // The peer's datagrams stop at once, with no shutdown sent: a dead peer.
  relay.reset();
  QElapsedTimer dead;
  dead.start();
  const bool noticed =
      WaitWithEvents([&] { return FForm->ConversationCount() == 0; }, milliseconds(120000));
  const qint64 took = dead.elapsed();
  ASSERT_TRUE(noticed) << "the dead peer's conversation did not end in 120 s";
  // Nothing but UDT4's own break ends it: no time limit of ours cut in earlier.
  EXPECT_GT(took, 20000);
  EXPECT_TRUE(WaitWithEvents([&] { return LogText().find("Work thread Terminated") != std::string::npos; }));
  std::printf("[figure] a dead peer was noticed after %lld ms\n", static_cast<long long>(took));
}

}  // namespace
}  // namespace reliability_test
