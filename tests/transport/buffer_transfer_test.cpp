// Buffer transfers of the base socket over real loopback connections: stream and
// message sends and receives, the data events changing DataLen, lines sent with
// Sendln, SendStream, and PeekBuf.
#include <gtest/gtest.h>
#include <udt/udt.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base_socket.h"
#include "udt_peer.h"

using namespace transport_test;

namespace {

class ConnectedSocket : public ConnectedSocketTest {
 protected:
  // The next message at the peer, as its length or "error".
  std::string NextMessageLength() {
    auto m = FPeer.RecvMsg();
    return m ? std::to_string(m->size()) : "error";
  }
};

class StreamBuffers : public ConnectedSocket {
 protected:
  void SetUp() override { Connect(stStream); }
};

class MessageBuffers : public ConnectedSocket {
 protected:
  void SetUp() override { Connect(stDgram); }
};

TEST_F(StreamBuffers, SendBufShowsTheDataToOnSendAndCountsIt) {
  const std::string data = Pattern(1000);
  std::string seen;
  FSocket.OnSend = [&](TObject* sender, void* buf, int32_t& len) {
    EXPECT_EQ(sender, &FSocket);
    seen.assign(static_cast<const char*>(buf), static_cast<size_t>(len));
  };
  EXPECT_EQ(FSocket.SendBuf(data.data(), 1000), 1000);
  EXPECT_EQ(seen, data);
  EXPECT_EQ(FSocket.BytesSent(), 1000u);
  EXPECT_EQ(FPeer.RecvExactly(1000), data);
  EXPECT_EQ(FSocket.SendBuf(data.data(), 24), 24);
  EXPECT_EQ(FSocket.BytesSent(), 1024u);
}

TEST_F(StreamBuffers, ReceiveBufFiresOnReceiveAndCounts) {
  ASSERT_TRUE(FPeer.SendAll("hello"));
  char buf[100];
  EXPECT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"recv:5"});
  EXPECT_EQ(FSocket.BytesReceived(), 5u);
}

TEST_F(StreamBuffers, OnSendSettingZeroSendsNothing) {
  FSocket.OnSend = [](TObject*, void*, int32_t& len) { len = 0; };
  EXPECT_EQ(FSocket.SendBuf("abcdef", 6), 0);
  EXPECT_EQ(FSocket.BytesSent(), 0u);
  FSocket.OnSend = nullptr;
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvExactly(1), "Z") << "nothing went before the marker";
}

TEST_F(StreamBuffers, OnSendShorteningSendsThePrefix) {
  FSocket.OnSend = [](TObject*, void*, int32_t& len) { len = 2; };
  EXPECT_EQ(FSocket.SendBuf("abcdef", 6), 2);
  EXPECT_EQ(FSocket.BytesSent(), 2u);
  FSocket.OnSend = nullptr;
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvExactly(3), "abZ");
}

TEST_F(StreamBuffers, OnSendCannotLengthenPastTheCallersBuffer) {
  const char data[] = {'a', 'b', 'c'};
  FSocket.OnSend = [](TObject*, void*, int32_t& len) { len = 100; };
  EXPECT_EQ(FSocket.SendBuf(data, 3), 3);
  FSocket.OnSend = nullptr;
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvExactly(4), "abcZ");
  EXPECT_EQ(FSocket.BytesSent(), 4u);
}

TEST_F(StreamBuffers, OnReceiveChangingDataLenChangesResultAndCounter) {
  ASSERT_TRUE(FPeer.SendAll("hello"));
  FSocket.OnReceive = [](TObject*, void*, int32_t& len) {
    EXPECT_EQ(len, 5);
    len = 2;
  };
  char buf[100];
  EXPECT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), 2);
  EXPECT_EQ(FSocket.BytesReceived(), 2u);
}

TEST_F(StreamBuffers, FailedReceiveReportsAndReturnsMinusOne) {
  FPeer.Close();
  char buf[8];
  EXPECT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), -1);
  EXPECT_EQ(FLog.Count("recv:"), 0);
  EXPECT_EQ(FLog.Count("error:"), 1);
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(FSocket.BytesReceived(), 0u);
}

TEST_F(StreamBuffers, SendlnAppendsTheMarker) {
  EXPECT_EQ(FSocket.Sendln("hello"), 7);
  EXPECT_EQ(FSocket.Sendln("x", "|"), 2);
  EXPECT_EQ(FSocket.Sendln("", "\n"), 1);
  EXPECT_EQ(FPeer.RecvExactly(10), "hello\r\nx|\n");
  EXPECT_EQ(FSocket.BytesSent(), 10u);
}

TEST_F(StreamBuffers, SendStreamSendsPiecesOf512AndReturnsZero) {
  const std::string data = Pattern(1000, 3);
  std::istringstream in(data);
  EXPECT_EQ(FSocket.SendStream(&in), 0);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:512", "send:488"}));
  EXPECT_EQ(FSocket.BytesSent(), 1000u);
  EXPECT_EQ(FPeer.RecvExactly(1000), data);
  EXPECT_TRUE(in.eof()) << "the stream is read to its end and not rewound";
}

TEST_F(StreamBuffers, SendStreamStartsAtTheCurrentPosition) {
  const std::string data = Pattern(1000, 4);
  std::istringstream in(data);
  in.seekg(100);
  EXPECT_EQ(FSocket.SendStream(&in), 0);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:512", "send:388"}));
  EXPECT_EQ(FPeer.RecvExactly(900), data.substr(100));
}

TEST_F(StreamBuffers, SendStreamOfNoStreamReturnsZeroAtOnce) {
  EXPECT_EQ(FSocket.SendStream(nullptr), 0);
  EXPECT_TRUE(FLog.Entries().empty());
}

TEST_F(StreamBuffers, SendStreamStopsAtTheFirstFailedSend) {
  FSocket.Close();
  FLog.Clear();
  std::istringstream in(Pattern(2000));
  EXPECT_EQ(FSocket.SendStream(&in), 0);
  ASSERT_EQ(FLog.Entries().size(), 2u);
  EXPECT_EQ(FLog.Entries()[0], "send:512");
  EXPECT_EQ(FLog.Entries()[1], "error:5004");
}

TEST_F(StreamBuffers, PeekBufRaisesAndReceivesNothing) {
  ASSERT_TRUE(FPeer.SendAll("abc"));
  char buf[8];
  try {
    FSocket.PeekBuf(buf, sizeof buf);
    FAIL() << "PeekBuf returned";
  } catch (const EUDTSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_EQ(e.Message(), u"The PeekBuf function is not suppurted in UDT");
  }
  EXPECT_TRUE(FSocket.Active());
  EXPECT_TRUE(FLog.Entries().empty());
  ASSERT_EQ(FSocket.ReceiveBuf(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(MessageBuffers, SendOf511BytesIsOneMessage) {
  const std::string data = Pattern(511);
  EXPECT_EQ(FSocket.SendBuf(data.data(), 511), 511);
  EXPECT_EQ(FSocket.BytesSent(), 511u);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(data));
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageBuffers, SendOf512BytesIsOneFullPieceThenAnEmptySend) {
  const std::string data = Pattern(512);
  EXPECT_EQ(FSocket.SendBuf(data.data(), 512), 512);
  EXPECT_EQ(FSocket.BytesSent(), 512u);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(data));
  // The closing empty send puts no message on the wire: the next one is the marker.
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageBuffers, SendOf1300BytesGoesAsPiecesOf512) {
  const std::string data = Pattern(1300);
  EXPECT_EQ(FSocket.SendBuf(data.data(), 1300), 1300);
  EXPECT_EQ(FSocket.BytesSent(), 1300u);
  EXPECT_EQ(FLog.Entries(), std::vector<std::string>{"send:1300"});
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(data.substr(0, 512)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(data.substr(512, 512)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(data.substr(1024)));
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageBuffers, ShortenedSendIsCutIntoPiecesOfWhatIsLeft) {
  const std::string data = Pattern(1300);
  FSocket.OnSend = [](TObject*, void*, int32_t& len) { len = 600; };
  EXPECT_EQ(FSocket.SendBuf(data.data(), 1300), 600);
  EXPECT_EQ(NextMessageLength(), "512");
  EXPECT_EQ(NextMessageLength(), "88");
}

TEST_F(MessageBuffers, EmptySendPutsNothingOnTheWire) {
  EXPECT_EQ(FSocket.SendBuf("", 0), 0);
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageBuffers, ReceiveBufTakesAtMostOneMessage) {
  ASSERT_TRUE(FPeer.SendMsg("one"));
  ASSERT_TRUE(FPeer.SendMsg("two"));
  char buf[100];
  ASSERT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  ASSERT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "two");
  EXPECT_EQ(FSocket.BytesReceived(), 6u);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"recv:3", "recv:3"}));
}

TEST_F(MessageBuffers, FailedPieceStopsTheSend) {
  FSocket.Close();
  FLog.Clear();
  const std::string data = Pattern(1300);
  EXPECT_EQ(FSocket.SendBuf(data.data(), 1300), -1);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:1300", "error:5004"}))
      << "one failed piece, and no further piece tried";
  EXPECT_EQ(FSocket.BytesSent(), 0u);
}

TEST_F(MessageBuffers, SendlnIsOneMessage) {
  EXPECT_EQ(FSocket.Sendln("hello"), 7);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("hello\r\n"));
}

}  // namespace
