// Receiveln over real loopback connections: the marker, a peer that closes
// mid-line, the empty marker, and the refusal on message sockets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base_socket.h"
#include "udt_peer.h"

using namespace transport_test;

namespace {

class LineReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    FSocket.SetDomain(pfINET);
    ASSERT_TRUE(ConnectToRawPeer(FSocket, FListener, FPeer));
    FLog.AttachWithTransfers(FSocket);
  }
  EventLog FLog;  // declared first: it outlives the socket's last events
  TUDTBaseSocket FSocket{nullptr};
  RawListener FListener;
  RawSocket FPeer;
};

TEST_F(LineReceive, ReturnsTheLineWithoutItsMarkerAndLeavesTheRest) {
  ASSERT_TRUE(FPeer.SendAll("ab\r\ncd"));
  EXPECT_EQ(FSocket.Receiveln("\r\n"), "ab");
  EXPECT_EQ(FLog.Count("recv:1"), 4) << "one byte per receive";
  EXPECT_EQ(FSocket.BytesReceived(), 4u);
  char rest[2];
  ASSERT_EQ(FSocket.ReceiveBuf(rest, 2), 2);
  EXPECT_EQ(std::string(rest, 2), "cd");
}

TEST_F(LineReceive, DefaultMarkerIsCarriageReturnLineFeed) {
  ASSERT_TRUE(FPeer.SendAll("one\r\ntwo\ntwo\r\n"));
  EXPECT_EQ(FSocket.Receiveln(), "one");
  EXPECT_EQ(FSocket.Receiveln(), "two\ntwo");
}

TEST_F(LineReceive, EmptyLineIsJustTheMarker) {
  ASSERT_TRUE(FPeer.SendAll("\r\nx\r\n"));
  EXPECT_EQ(FSocket.Receiveln("\r\n"), "");
  EXPECT_EQ(FSocket.Receiveln("\r\n"), "x");
}

TEST_F(LineReceive, PeerClosingMidLineGivesWhatArrivedReportsAndCloses) {
  ASSERT_TRUE(FPeer.SendAll("abc"));
  FPeer.Close();
  EXPECT_EQ(FSocket.Receiveln("\r\n"), "abc");
  ASSERT_EQ(FLog.ErrorCodes().size(), 1u);
  EXPECT_TRUE(FLog.ErrorCodes()[0] == 2001 || FLog.ErrorCodes()[0] == 5004)
      << FLog.ErrorCodes()[0];
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FLog.Count("destroy"), 1);
}

TEST_F(LineReceive, EmptyMarkerReadsUntilThePeerCloses) {
  ASSERT_TRUE(FPeer.SendAll("hello\r\nworld"));
  FPeer.Close();
  EXPECT_EQ(FSocket.Receiveln(""), "hello\r\nworld");
  EXPECT_EQ(FLog.Count("error:"), 1);
  EXPECT_FALSE(FSocket.Active());
}

TEST_F(LineReceive, MultiByteMarkerEndsTheLine) {
  ASSERT_TRUE(FPeer.SendAll("a\xE6\xB5\x8B" "b|"));  // a测b|
  EXPECT_EQ(FSocket.Receiveln("\xE6\xB5\x8B"), "a");
  EXPECT_EQ(FSocket.Receiveln("|"), "b");
}

TEST_F(LineReceive, MarkerBytesInsideACharacterDoNotEndTheLine) {
  // The marker is the last byte of 测; inside the character it is no marker.
  ASSERT_TRUE(FPeer.SendAll("\xE6\xB5\x8B" "x\x8B"));
  EXPECT_EQ(FSocket.Receiveln("\x8B"), "\xE6\xB5\x8B" "x");
}

TEST(LineReceiveOnMessages, IsRefusedWithTheGeneralException) {
  EventLog log;
  TUDTBaseSocket s(nullptr);
  s.SetDomain(pfINET);
  s.SetSockType(stDgram);
  RawListener listener(SOCK_DGRAM);
  RawSocket peer;
  ASSERT_TRUE(ConnectToRawPeer(s, listener, peer));
  ASSERT_TRUE(peer.SendMsg("line\r\n"));
  log.AttachWithTransfers(s);
  try {
    s.Receiveln();
    FAIL() << "Receiveln returned on a message socket";
  } catch (const EUDTSocketError&) {
    FAIL() << "raised the socket error instead of the general exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Receiveln() is not supported in Diagram mode");
  }
  EXPECT_TRUE(log.Entries().empty()) << "nothing was received";
  EXPECT_TRUE(s.Active());
  char buf[16];
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof buf), 6);
}

}  // namespace
