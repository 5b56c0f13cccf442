// String frames over real loopback connections: the bytes on the wire, the
// messages of a frame on a message socket, texts that arrive in pieces, round
// trips through an echoing peer, and counts a peer should never have sent.
#include <gtest/gtest.h>
#include <udt/udt.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base_socket.h"
#include "exchange_protocol.h"
#include "udt_peer.h"

using namespace transport_test;

namespace {

// The text part of the frame holding s.
std::string CodeUnitBytes(const std::u16string& s) {
  return EncodeStringFrame(s).substr(kFieldBytes);
}

// A text of n code units drawn from the whole UTF-16 range, surrogates included.
std::u16string VariedText(size_t n) {
  std::string bytes = Pattern(2 * n, 11);
  std::u16string s(n, u'\0');
  std::memcpy(s.data(), bytes.data(), 2 * n);
  return s;
}

// The process's peak resident memory so far, in kB.
long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Sends first, waits until the receiving side calls GoOn (or the bound passes),
// then sends second: the receiver sees the two as separate arrivals.
class SplitSender {
 public:
  SplitSender(RawSocket& peer, std::string first, std::string second) {
    FThread = std::thread([this, &peer, first = std::move(first), second = std::move(second)] {
      FFirstSent = peer.SendAll(first);
      FTold = FGo.get_future().wait_for(kWaitBound) == std::future_status::ready;
      FSecondSent = peer.SendAll(second);
    });
  }
  ~SplitSender() { Join(); }
  void GoOn() {
    if (!FToldOnce) {
      FToldOnce = true;
      FGo.set_value();
    }
  }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  bool Ok() const { return FFirstSent && FTold && FSecondSent; }

 private:
  std::promise<void> FGo;
  bool FToldOnce = false;
  bool FFirstSent = false;
  bool FTold = false;
  bool FSecondSent = false;
  std::thread FThread;
};

// Echoes total bytes (stream) or the messages carrying total bytes (message
// socket) back to the sender, on its own thread.
class EchoPeer {
 public:
  EchoPeer(RawSocket& peer, size_t total, bool messages) {
    FThread = std::thread([this, &peer, total, messages] {
      size_t done = 0;
      while (done < total) {
        std::string piece;
        if (messages) {
          auto m = peer.RecvMsg();
          if (!m) return;
          piece = std::move(*m);
        } else {
          piece = peer.RecvExactly(std::min<size_t>(65536, total - done));
        }
        if (piece.empty()) return;
        if (!(messages ? peer.SendMsg(piece) : peer.SendAll(piece))) return;
        done += piece.size();
      }
      FEchoed = done;
    });
  }
  ~EchoPeer() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  size_t Echoed() const { return FEchoed; }

 private:
  size_t FEchoed = 0;
  std::thread FThread;
};

using FrameTest = ConnectedSocketTest;

class StreamFrames : public FrameTest {
 protected:
  void SetUp() override { Connect(stStream); }
};

class MessageFrames : public FrameTest {
 protected:
  void SetUp() override { Connect(stDgram); }
};

TEST_F(StreamFrames, AbcIsTenBytesSentAsFourThenSix) {
  FSocket.SendString(u"abc");
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:4", "send:6"}));
  EXPECT_EQ(Hex(FPeer.RecvExactly(10)), "03 00 00 00 61 00 62 00 63 00");
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvExactly(1), "Z");
  EXPECT_EQ(FSocket.BytesSent(), 11u);
}

TEST_F(StreamFrames, EmptyTextIsFourZeroBytesAndAnEmptySend) {
  FSocket.SendString(u"");
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:4", "send:0"}));
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(Hex(FPeer.RecvExactly(5)), "00 00 00 00 5a");
}

TEST_F(StreamFrames, ShortSendOfAPartIsCompletedWithTheRest) {
  std::vector<int32_t> offered;
  FSocket.OnSend = [&](TObject*, void*, int32_t& len) {
    offered.push_back(len);
    if (len > 4) len = 4;
  };
  FSocket.SendString(u"abcdef");
  EXPECT_EQ(offered, (std::vector<int32_t>{4, 12, 8, 4}));
  EXPECT_EQ(Hex(FPeer.RecvExactly(16)), "06 00 00 00 61 00 62 00 63 00 64 00 65 00 66 00");
}

TEST_F(StreamFrames, NonAsciiTextTravelsAsUtf16CodeUnits) {
  FSocket.SendString(u"测试\U0001F600");
  EXPECT_EQ(Hex(FPeer.RecvExactly(12)), "04 00 00 00 4b 6d d5 8b 3d d8 00 de");
}

TEST_F(StreamFrames, ReceiveStringReadsOneFrameAndNoMore) {
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeStringFrame(u"abc") + "Z"));
  std::u16string s = u"previous";
  FSocket.ReceiveString(s);
  EXPECT_EQ(s, u"abc");
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"recv:4", "recv:6"}));
  EXPECT_EQ(FSocket.BytesReceived(), 10u);
  char z;
  ASSERT_EQ(FSocket.ReceiveBuf(&z, 1), 1);
  EXPECT_EQ(z, 'Z');
}

TEST_F(StreamFrames, EmptyFrameGivesTheEmptyText) {
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeStringFrame(u"") + "Z"));
  std::u16string s = u"previous";
  FSocket.ReceiveString(s);
  EXPECT_EQ(s, u"");
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"recv:4", "recv:0"}));
  char z;
  ASSERT_EQ(FSocket.ReceiveBuf(&z, 1), 1);
  EXPECT_EQ(z, 'Z');
}

TEST_F(StreamFrames, TextArrivingInTwoPiecesIsGatheredIntoOneString) {
  const std::u16string text = u"abcd";
  const std::string bytes = protocol::EncodeStringFrame(text);
  SplitSender sender(FPeer, bytes.substr(0, 8), bytes.substr(8));
  int receives = 0;
  FSocket.OnReceive = [&](TObject*, void*, int32_t& len) {
    ++receives;
    if (receives == 2) {
      EXPECT_EQ(len, 4) << "the first half of the text";
      sender.GoOn();
    }
  };
  std::u16string s;
  FSocket.ReceiveString(s);
  sender.Join();
  ASSERT_TRUE(sender.Ok());
  EXPECT_EQ(s, text);
  EXPECT_EQ(receives, 3);
  EXPECT_EQ(FSocket.BytesReceived(), 12u);
}

TEST_F(StreamFrames, CountArrivingInTwoPiecesIsGathered) {
  const std::u16string text = u"xyz";
  const std::string bytes = protocol::EncodeStringFrame(text);
  SplitSender sender(FPeer, bytes.substr(0, 2), bytes.substr(2));
  std::vector<int32_t> lengths;
  FSocket.OnReceive = [&](TObject*, void*, int32_t& len) {
    lengths.push_back(len);
    if (lengths.size() == 1) sender.GoOn();
  };
  std::u16string s;
  FSocket.ReceiveString(s);
  sender.Join();
  ASSERT_TRUE(sender.Ok());
  EXPECT_EQ(s, text);
  EXPECT_EQ(lengths, (std::vector<int32_t>{2, 2, 6}));
}

TEST_F(StreamFrames, NonAsciiTextRoundTrips) {
  const std::u16string text = u"Act: 测试 \U0001F600 ok";
  EchoPeer echo(FPeer, 4 + 2 * text.size(), false);
  FSocket.SendString(text);
  std::u16string back;
  FSocket.ReceiveString(back);
  echo.Join();
  EXPECT_EQ(back, text);
  EXPECT_TRUE(FSocket.Active());
}

TEST_F(StreamFrames, LargeTextRoundTripsByteExact) {
  const std::u16string text = VariedText(1 << 20);
  EchoPeer echo(FPeer, 4 + 2 * text.size(), false);
  FSocket.OnSend = nullptr;
  FSocket.OnReceive = nullptr;
  FSocket.SendString(text);
  std::u16string back;
  FSocket.ReceiveString(back);
  echo.Join();
  EXPECT_EQ(echo.Echoed(), 4 + 2 * text.size());
  ASSERT_EQ(back.size(), text.size());
  EXPECT_TRUE(back == text) << "the text came back changed";
  EXPECT_EQ(FSocket.BytesSent(), 4 + 2 * text.size());
  EXPECT_EQ(FSocket.BytesReceived(), 4 + 2 * text.size());
  EXPECT_EQ(FLog.Count("error:"), 0);
}

TEST_F(StreamFrames, NegativeCountGivesTheEmptyText) {
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeSizeField(-1) + "Z"));
  std::u16string s = u"previous";
  FSocket.ReceiveString(s);
  EXPECT_EQ(s, u"");
  EXPECT_TRUE(FSocket.Active());
  char z;
  ASSERT_EQ(FSocket.ReceiveBuf(&z, 1), 1);
  EXPECT_EQ(z, 'Z');
}

TEST_F(StreamFrames, CountOf2To30IsRefusedAsAnAllocationFailure) {
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeSizeField(1 << 30) + "zz"));
  std::u16string s;
  EXPECT_THROW(FSocket.ReceiveString(s), std::bad_alloc);
  EXPECT_TRUE(FSocket.Active());
  EXPECT_EQ(FLog.Count("error:"), 0);
  char rest[2];
  ASSERT_EQ(FSocket.ReceiveBuf(rest, 2), 2) << "nothing further was read";
  EXPECT_EQ(std::string(rest, 2), "zz");
}

TEST_F(StreamFrames, LargestCountIsRefusedAsAnAllocationFailure) {
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeSizeField(INT32_MAX)));
  std::u16string s;
  EXPECT_THROW(FSocket.ReceiveString(s), std::bad_alloc);
}

TEST_F(StreamFrames, HugeAnnouncedTextCostsOnlyWhatArrived) {
  const long before = PeakResidentKb();
  ASSERT_GT(before, 0);
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeSizeField((1 << 30) - 1) + "abcd"));
  FPeer.Close();
  std::u16string s;
  FSocket.ReceiveString(s);
  const long after = PeakResidentKb();
  EXPECT_LT(after - before, 16 * 1024) << "peak memory grew by " << (after - before) << " kB";
  EXPECT_EQ(FLog.Count("error:"), 1);
  EXPECT_FALSE(FSocket.Active());
  EXPECT_LE(s.size(), 2u) << "more text than arrived";
}

TEST_F(StreamFrames, PeerClosingMidTextReportsAndCloses) {
  ASSERT_TRUE(FPeer.SendAll(protocol::EncodeSizeField(10) + "abcd"));
  FPeer.Close();
  std::u16string s;
  FSocket.ReceiveString(s);
  EXPECT_EQ(FLog.Count("error:"), 1);
  EXPECT_EQ(FLog.Count("destroy"), 1);
  EXPECT_FALSE(FSocket.Active());
}

TEST_F(StreamFrames, PeerClosingMidCountReportsAndCloses) {
  ASSERT_TRUE(FPeer.SendAll(std::string("\x05\x00", 2)));
  FPeer.Close();
  std::u16string s;
  FSocket.ReceiveString(s);
  EXPECT_EQ(FLog.Count("error:"), 1);
  EXPECT_FALSE(FSocket.Active());
}

TEST_F(StreamFrames, FailedCountSendStillSendsTheTextAndReportsBoth) {
  FSocket.Close();
  FLog.Clear();
  FSocket.SendString(u"abc");
  EXPECT_EQ(FLog.Entries(),
            (std::vector<std::string>{"send:4", "error:5004", "send:6", "error:5004"}));
}

TEST_F(MessageFrames, CountAndShortTextAreOneMessageEach) {
  FSocket.SendString(u"abc");
  auto count = FPeer.RecvMsg();
  auto text = FPeer.RecvMsg();
  ASSERT_TRUE(count && text);
  EXPECT_EQ(Hex(*count), "03 00 00 00");
  EXPECT_EQ(Hex(*text), "61 00 62 00 63 00");
}

TEST_F(MessageFrames, EmptyTextIsTheCountMessageOnly) {
  FSocket.SendString(u"");
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:4", "send:0"}));
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  auto count = FPeer.RecvMsg();
  ASSERT_TRUE(count);
  EXPECT_EQ(Hex(*count), "00 00 00 00");
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageFrames, TextOf300CodeUnitsGoesAsCountThenPiecesOf512) {
  const std::u16string text = VariedText(300);
  const std::string bytes = CodeUnitBytes(text);
  FSocket.SendString(text);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"send:4", "send:600"}));
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(protocol::EncodeSizeField(300)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(bytes.substr(0, 512)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(bytes.substr(512)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageFrames, TextOf256CodeUnitsIsOneFullPiece) {
  const std::u16string text = VariedText(256);
  FSocket.SendString(text);
  ASSERT_EQ(FSocket.SendBuf("Z", 1), 1);
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(protocol::EncodeSizeField(256)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>(CodeUnitBytes(text)));
  EXPECT_EQ(FPeer.RecvMsg(), std::optional<std::string>("Z"));
}

TEST_F(MessageFrames, ReceiveStringGathersTextFromSeveralMessages) {
  const std::u16string text = VariedText(300);
  const std::string bytes = CodeUnitBytes(text);
  ASSERT_TRUE(FPeer.SendMsg(protocol::EncodeSizeField(300)));
  ASSERT_TRUE(FPeer.SendMsg(bytes.substr(0, 512)));
  ASSERT_TRUE(FPeer.SendMsg(bytes.substr(512)));
  ASSERT_TRUE(FPeer.SendMsg("after"));
  std::u16string s;
  FSocket.ReceiveString(s);
  EXPECT_EQ(s, text);
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"recv:4", "recv:512", "recv:88"}));
  char buf[16];
  ASSERT_EQ(FSocket.ReceiveBuf(buf, sizeof buf), 5) << "the frame took only its own messages";
  EXPECT_EQ(std::string(buf, 5), "after");
}

TEST_F(MessageFrames, NonAsciiTextRoundTrips) {
  std::u16string text;
  for (int i = 0; i < 100; ++i) text += u"测试\U0001F600x";
  EchoPeer echo(FPeer, 4 + 2 * text.size(), true);
  FSocket.SendString(text);
  std::u16string back;
  FSocket.ReceiveString(back);
  echo.Join();
  EXPECT_EQ(back, text);
}

TEST_F(MessageFrames, LargeTextRoundTripsByteExact) {
  const std::u16string text = VariedText(100000);
  EchoPeer echo(FPeer, 4 + 2 * text.size(), true);
  FSocket.OnSend = nullptr;
  FSocket.OnReceive = nullptr;
  FSocket.SendString(text);
  std::u16string back;
  FSocket.ReceiveString(back);
  echo.Join();
  ASSERT_EQ(back.size(), text.size());
  EXPECT_TRUE(back == text) << "the text came back changed";
  EXPECT_EQ(FLog.Count("error:"), 0);
}

}  // namespace
