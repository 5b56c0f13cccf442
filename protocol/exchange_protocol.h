// The exchange protocol between the client page and the server's connection
// handler: the file request, the reply, the size field, the string frame (from
// string_frame.h) and the default address. Every place that speaks or checks
// the protocol takes them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "string_frame.h"

namespace protocol {

// The text of the frame that starts a file transfer, compared whole and case-sensitively.
inline constexpr std::u16string_view kFileRequest = u"#SendFile#";
// What every reply starts with, before the whole text of the message it answers.
inline constexpr std::u16string_view kReplyPrefix = u"Act: ";
// File data goes in pieces of at most this many bytes, and is received so.
inline constexpr int32_t kPieceSize = 2048;

// The port the server listens on and the client connects to unless told otherwise.
inline constexpr char kDefaultPort[] = "2048";
// The default port as a number.
inline constexpr uint16_t kDefaultPortNumber = [] {
  uint16_t n = 0;
  for (const char* c = kDefaultPort; *c; ++c) n = static_cast<uint16_t>(n * 10 + (*c - '0'));
  return n;
}();
// The server's stored local host: empty, every local IPv4 address.
inline constexpr char kListenHost[] = "";

// True when Text is the file request.
bool IsFileRequest(std::u16string_view Text) noexcept;
// The server's reply to Message.
std::u16string Reply(std::u16string_view Message);

// The size field has the layout of a frame's count.
using ::kFieldBytes;
// The 4 bytes of the size field holding Value.
std::string EncodeSizeField(int32_t Value);
// The value of the size field at the start of Bytes; nothing when fewer arrived.
std::optional<int32_t> DecodeSizeField(std::string_view Bytes) noexcept;

using ::DecodeStringFrame;
using ::EncodeStringFrame;

}  // namespace protocol
