// The exchange protocol between the client page and the server's connection
// handler: the file request, the reply, the size field, the string frame and
// the default address. Every place that speaks or checks the protocol takes
// them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace protocol {

// The text of the frame that starts a file transfer, compared whole and case-sensitively.
inline constexpr std::u16string_view kFileRequest = u"#SendFile#";
// What every reply starts with, before the whole text of the message it answers.
inline constexpr std::u16string_view kReplyPrefix = u"Act: ";
// File data goes in pieces of at most this many bytes, and is received so.
inline constexpr int32_t kPieceSize = 2048;
// The size field and a frame's count: a signed 32-bit little-endian integer.
inline constexpr size_t kFieldBytes = 4;

// The port the server listens on and the client connects to unless told otherwise.
inline constexpr char kDefaultPort[] = "2048";
// The server's stored local host: empty, every local IPv4 address.
inline constexpr char kListenHost[] = "";

// True when Text is the file request.
bool IsFileRequest(std::u16string_view Text) noexcept;
// The server's reply to Message.
std::u16string Reply(std::u16string_view Message);

// The 4 bytes of the size field (or a frame's count) holding Value.
std::string EncodeSizeField(int32_t Value);
// The value of the 4 bytes at the start of Bytes; nothing when fewer arrived.
std::optional<int32_t> DecodeSizeField(std::string_view Bytes) noexcept;

// One string frame: the count of UTF-16 code units, then the code units, low byte first.
std::string EncodeStringFrame(std::u16string_view Text);
// The text of the frame at the start of Bytes, and in Used the bytes it takes;
// nothing when the frame is cut short or its count is negative.
std::optional<std::u16string> DecodeStringFrame(std::string_view Bytes, size_t* Used = nullptr);

}  // namespace protocol
