// The protocol's fields on the wire: the bytes of the worked exchange, and
// input cut short or malformed.
#include <gtest/gtest.h>

#include "exchange_protocol.h"

namespace {

using namespace std::string_literals;

// The one place that spells the wire's bytes: every other test takes them
// from the protocol's encoders.
TEST(ExchangeProtocol, FieldsAndFramesHaveTheBytesOfTheWorkedExchange) {
  EXPECT_EQ(protocol::EncodeSizeField(5000), "\x88\x13\x00\x00"s);
  EXPECT_EQ(protocol::EncodeStringFrame(u"a.txt"), "\x05\0\0\0a\0.\0t\0x\0t\0"s);
  EXPECT_EQ(protocol::EncodeStringFrame(protocol::kFileRequest),
            "\x0A\0\0\0#\0S\0e\0n\0d\0F\0i\0l\0e\0#\0"s);
  EXPECT_EQ(protocol::EncodeStringFrame(protocol::Reply(u"hi")), "\x07\0\0\0A\0c\0t\0:\0 \0h\0i\0"s);
  const std::string reply = protocol::EncodeStringFrame(protocol::Reply(protocol::kFileRequest));
  EXPECT_EQ(reply.size(), 34u);
  EXPECT_EQ(reply.substr(0, 4), "\x0F\0\0\0"s);

  // Several frames back to back, as a stream delivers them, with units beyond Latin-1.
  const std::u16string text = u"09:05:03: 测试\U0001F600";
  const std::string stream = protocol::EncodeStringFrame(text) + protocol::EncodeStringFrame(u"");
  size_t used = 0;
  EXPECT_EQ(protocol::DecodeStringFrame(stream, &used), text);
  EXPECT_EQ(protocol::DecodeStringFrame(stream.substr(used), &used), u"");
  EXPECT_EQ(used, 4u);
  for (int32_t v : {0, -1, INT32_MIN, INT32_MAX, 0x01020304})
    EXPECT_EQ(protocol::DecodeSizeField(protocol::EncodeSizeField(v)), v);
}

TEST(ExchangeProtocol, InputCutShortOrWithANegativeCountIsNoFrame) {
  const std::string frame = protocol::EncodeStringFrame(u"#SendFile#");
  for (size_t n = 0; n < frame.size(); ++n)
    EXPECT_FALSE(protocol::DecodeStringFrame(frame.substr(0, n))) << n << " bytes";
  EXPECT_FALSE(protocol::DecodeSizeField("\x01\x02\x03"));
  EXPECT_FALSE(protocol::DecodeStringFrame("\xFF\xFF\xFF\xFF"s + "abcd"));
  // A count far beyond what arrived is refused without reading past the bytes.
  EXPECT_FALSE(protocol::DecodeStringFrame("\xFF\xFF\xFF\x7F"s + "ab"));
  EXPECT_TRUE(protocol::IsFileRequest(u"#SendFile#"));
  EXPECT_FALSE(protocol::IsFileRequest(u"#sendfile#"));
  EXPECT_FALSE(protocol::IsFileRequest(u"#SendFile# "));
}

}  // namespace
