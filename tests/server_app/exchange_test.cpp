// The exchange protocol as the connection handler speaks it: replies byte for
// byte, the file request told from text messages, and files stored exactly.
#include <gtest/gtest.h>

#include "server_test_support.h"
#include "bytes.h"

namespace server_test {
namespace {

using Exchange = ServerFixture;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST_F(Exchange, WorkedExampleGoesByteForByteAndStoresTheFile) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  const std::string text = Bytes({0x30, 0, 0x39, 0, 0x3A, 0, 0x30, 0, 0x35, 0, 0x3A, 0,
                                  0x30, 0, 0x33, 0, 0x3A, 0, 0x20, 0, 0x68, 0, 0x69, 0});
  ASSERT_TRUE(c.SendBytes(Bytes({0x0C, 0, 0, 0}) + text));
  const std::string reply1 = c.RecvBytes(38);
  EXPECT_EQ(Hex(reply1),
            Hex(Bytes({0x11, 0, 0, 0, 0x41, 0, 0x63, 0, 0x74, 0, 0x3A, 0, 0x20, 0}) + text));

  const std::string request = Bytes({0x23, 0, 0x53, 0, 0x65, 0, 0x6E, 0, 0x64, 0,
                                     0x46, 0, 0x69, 0, 0x6C, 0, 0x65, 0, 0x23, 0});
  ASSERT_TRUE(c.SendBytes(Bytes({0x0A, 0, 0, 0}) + request));
  const std::string reply2 = c.RecvBytes(34);
  EXPECT_EQ(Hex(reply2),
            Hex(Bytes({0x0F, 0, 0, 0, 0x41, 0, 0x63, 0, 0x74, 0, 0x3A, 0, 0x20, 0}) + request));

  const std::string content = Pattern(5000);
  ASSERT_TRUE(c.SendBytes(Bytes({0x88, 0x13, 0, 0})));
  ASSERT_TRUE(c.SendBytes(Bytes({0x05, 0, 0, 0, 0x61, 0, 0x2E, 0, 0x74, 0, 0x78, 0, 0x74, 0})));
  ASSERT_TRUE(c.SendBytes(content.substr(0, 2048)));
  ASSERT_TRUE(c.SendBytes(content.substr(2048, 2048)));
  ASSERT_TRUE(c.SendBytes(content.substr(4096)));

  // Nothing acknowledges the data: the stored file is the evidence.
  ASSERT_TRUE(WaitWithEvents([&] { return ReadFile("a.txt").size() == 5000; }))
      << "a.txt did not reach 5000 bytes";
  EXPECT_TRUE(ReadFile("a.txt") == content);
  // Both sides are idle again; the conversation goes on.
  EXPECT_EQ(c.Exchange(u"again"), protocol::Reply(u"again"));
}

TEST_F(Exchange, OnlyTheExactFileRequestStartsATransfer) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  for (std::u16string text : {u"#sendfile#", u"#SendFile# ", u" #SendFile#", u"09:05:03: #SendFile#"}) {
    EXPECT_EQ(c.Exchange(text), protocol::Reply(text));
  }
  // Had one of them started a transfer, this frame would have been taken as a
  // size and a name instead of being answered.
  EXPECT_EQ(c.Exchange(u"still talking"), protocol::Reply(u"still talking"));

  ASSERT_TRUE(c.SendFile(u"x.bin", "abc"));
  EXPECT_EQ(c.Exchange(u"after"), protocol::Reply(u"after"));
  EXPECT_EQ(ReadFile("x.bin"), "abc");
}

TEST_F(Exchange, EmptyFrameIsAnsweredWithActAlone) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  ASSERT_TRUE(c.SendBytes(SizeField(0)));
  EXPECT_EQ(Hex(c.RecvBytes(14)), Hex(Frame(protocol::Reply(u""))));
  EXPECT_EQ(c.Exchange(u"next"), protocol::Reply(u"next"));
  ASSERT_TRUE(WaitForLines(3));
  EXPECT_EQ(FView.Log[1], Peer(c));
}

TEST_F(Exchange, FilesAreStoredByteIdenticalOneAfterAnother) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  const std::string f2048 = Pattern(2048, 1);
  const std::string f5000 = Pattern(5000, 2);
  ASSERT_TRUE(c.SendFile(u"empty.bin", ""));
  // A 0-byte transfer asks for no data: the very next frame is a message.
  EXPECT_EQ(c.Exchange(u"after empty"), protocol::Reply(u"after empty"));
  ASSERT_TRUE(c.SendFile(u"two.bin", f2048));
  // A message right behind the data, without waiting for anything.
  ASSERT_TRUE(c.SendFile(u"five.bin", f5000));
  EXPECT_EQ(c.Exchange(u"right behind"), protocol::Reply(u"right behind"));

  EXPECT_EQ(ReadFile("empty.bin"), "");
  EXPECT_TRUE(ReadFile("two.bin") == f2048) << "two.bin differs";
  EXPECT_TRUE(ReadFile("five.bin") == f5000) << "five.bin differs";
}

TEST_F(Exchange, NegativeSizeCreatesAnEmptyFileAndAsksForNoData) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  ASSERT_EQ(c.Exchange(test_support::kFileRequest), protocol::Reply(protocol::kFileRequest));
  ASSERT_TRUE(c.SendBytes(SizeField(-5) + Frame(u"neg.bin")));
  EXPECT_EQ(c.Exchange(u"hello"), protocol::Reply(u"hello"));
  EXPECT_TRUE(FileExists("neg.bin"));
  EXPECT_EQ(ReadFile("neg.bin"), "");
}

TEST_F(Exchange, SecondTransferReplacesTheFile) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  ASSERT_TRUE(c.SendFile(u"same.bin", Pattern(9000, 3)));
  EXPECT_EQ(c.Exchange(u"between"), protocol::Reply(u"between"));
  ASSERT_TRUE(c.SendFile(u"same.bin", "short"));
  EXPECT_EQ(c.Exchange(u"done"), protocol::Reply(u"done"));
  EXPECT_EQ(ReadFile("same.bin"), "short");
}

TEST_F(Exchange, NameInAnotherScriptIsStoredUnderThatName) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  ASSERT_TRUE(c.SendFile(u"数据 1.txt", "content"));
  EXPECT_EQ(c.Exchange(u"done"), protocol::Reply(u"done"));
  EXPECT_EQ(ReadFile("数据 1.txt"), "content");
}

}  // namespace
}  // namespace server_test
