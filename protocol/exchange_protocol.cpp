#include "exchange_protocol.h"

namespace protocol {

bool IsFileRequest(std::u16string_view Text) noexcept { return Text == kFileRequest; }

std::u16string Reply(std::u16string_view Message) {
  std::u16string reply(kReplyPrefix);
  reply.append(Message);
  return reply;
}

std::string EncodeSizeField(int32_t Value) {
  const auto field = EncodeField(Value);
  return {field.begin(), field.end()};
}

std::optional<int32_t> DecodeSizeField(std::string_view Bytes) noexcept {
  if (Bytes.size() < kFieldBytes) return std::nullopt;
  return DecodeField(Bytes.data());
}

}  // namespace protocol
