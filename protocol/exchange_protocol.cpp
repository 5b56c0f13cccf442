#include "exchange_protocol.h"

namespace protocol {

bool IsFileRequest(std::u16string_view Text) noexcept { return Text == kFileRequest; }

std::u16string Reply(std::u16string_view Message) {
  std::u16string reply(kReplyPrefix);
  reply.append(Message);
  return reply;
}

std::string EncodeSizeField(int32_t Value) {
  const auto v = static_cast<uint32_t>(Value);
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF),
          static_cast<char>(v >> 16 & 0xFF), static_cast<char>(v >> 24 & 0xFF)};
}

std::optional<int32_t> DecodeSizeField(std::string_view Bytes) noexcept {
  if (Bytes.size() < kFieldBytes) return std::nullopt;
  uint32_t v = 0;
  for (size_t i = 0; i < kFieldBytes; ++i)
    v |= static_cast<uint32_t>(static_cast<unsigned char>(Bytes[i])) << (8 * i);
  return static_cast<int32_t>(v);
}

std::string EncodeStringFrame(std::u16string_view Text) {
  std::string frame = EncodeSizeField(static_cast<int32_t>(Text.size()));
  frame.reserve(kFieldBytes + 2 * Text.size());
  for (char16_t c : Text) {
    frame.push_back(static_cast<char>(c & 0xFF));
    frame.push_back(static_cast<char>(c >> 8));
  }
  return frame;
}

std::optional<std::u16string> DecodeStringFrame(std::string_view Bytes, size_t* Used) {
  const std::optional<int32_t> count = DecodeSizeField(Bytes);
  if (!count || *count < 0) return std::nullopt;
  const size_t units = static_cast<size_t>(*count);
  if ((Bytes.size() - kFieldBytes) / 2 < units) return std::nullopt;
  std::u16string text(units, u'\0');
  const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data()) + kFieldBytes;
  for (size_t i = 0; i < units; ++i)
    text[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
  if (Used) *Used = kFieldBytes + 2 * units;
  return text;
}

}  // namespace protocol
