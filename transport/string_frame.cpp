#include "string_frame.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sysutils.h"

static_assert(std::endian::native == std::endian::little,
              "string frames carry little-endian code units straight from memory");

namespace {

// A text larger than this is received into memory that grows with what has
// arrived; a smaller one takes one receive.
constexpr int64_t kTextChunk = 64 * 1024;

}  // namespace

std::array<char, kFieldBytes> EncodeField(int32_t Value) noexcept {
  const auto v = static_cast<uint32_t>(Value);
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF),
          static_cast<char>(v >> 16 & 0xFF), static_cast<char>(v >> 24 & 0xFF)};
}

int32_t DecodeField(const char* Bytes) noexcept {
  uint32_t v = 0;
  for (size_t i = 0; i < kFieldBytes; ++i)
    v |= static_cast<uint32_t>(static_cast<unsigned char>(Bytes[i])) << (8 * i);
  return static_cast<int32_t>(v);
}

TStringFrameParts StringFrameParts(std::u16string_view Text) {
  if (Text.size() > static_cast<size_t>(kMaxFrameCount))
    throw Exception("Text too long for a string frame");
  const auto n = static_cast<int32_t>(Text.size());
  return {EncodeField(n), reinterpret_cast<const char*>(Text.data()), 2 * n};
}

std::string EncodeStringFrame(std::u16string_view Text) {
  const TStringFrameParts parts = StringFrameParts(Text);
  std::string frame(parts.Count.begin(), parts.Count.end());
  frame.append(parts.Text, static_cast<size_t>(parts.TextBytes));
  return frame;
}

TStringFrameReader::TStringFrameReader(std::u16string Text) : FText(std::move(Text)) {}

char* TStringFrameReader::Room() noexcept {
  if (FPhase == TPhase::Count) return FCount.data() + FCountGot;
  if (FPhase == TPhase::Text) return reinterpret_cast<char*>(FText.data()) + FTextGot;
  return nullptr;
}

int32_t TStringFrameReader::RoomBytes() const noexcept {
  if (FPhase == TPhase::Count) return static_cast<int32_t>(kFieldBytes - FCountGot);
  if (FPhase == TPhase::Text) return FRoom - FTextGot;
  return 0;
}

std::optional<int32_t> TStringFrameReader::Count() const noexcept {
  if (FCountGot < kFieldBytes) return std::nullopt;
  return DecodeField(FCount.data());
}

void TStringFrameReader::Arrived(int32_t Count) {
  if (Count < 0 || Count > RoomBytes()) return;
  if (FPhase == TPhase::Count) {
    FCountGot += static_cast<size_t>(Count);
    if (FCountGot < kFieldBytes) return;
    const int32_t n = DecodeField(FCount.data());
    if (n < 0 || n > kMaxFrameCount) {
      FPhase = TPhase::Refused;
      return;
    }
    FTotal = 2 * n;
    FPhase = TPhase::Text;
    GrowRoom();
    return;
  }
  if (FPhase != TPhase::Text) return;
  FTextGot += Count;
  if (FTextGot >= FTotal) {
    FPhase = TPhase::Done;
    return;
  }
  GrowRoom();
}

void TStringFrameReader::GrowRoom() {
  if (FTotal <= kTextChunk) {
    FRoom = FTotal;
  } else if (FRoom - FTextGot < std::min<int64_t>(FTotal - FTextGot, kTextChunk)) {
    // Doubling, but at least a chunk beyond what arrived; in whole code units.
    const int64_t got = FTextGot + (FTextGot & 1);
    FRoom = static_cast<int32_t>(
        std::min<int64_t>(FTotal, std::max<int64_t>(int64_t{FRoom} * 2, got + kTextChunk)));
  }
  FText.resize(static_cast<size_t>(FRoom / 2));
}

std::u16string TStringFrameReader::TakeText() {
  if (FPhase == TPhase::Count || FPhase == TPhase::Refused)
    FText.clear();
  else
    FText.resize(static_cast<size_t>(FTextGot / 2));
  return std::move(FText);
}

std::optional<std::u16string> DecodeStringFrame(std::string_view Bytes, size_t* Used) {
  TStringFrameReader frame;
  size_t at = 0;
  while (!frame.Done()) {
    const size_t room = static_cast<size_t>(frame.RoomBytes());
    const size_t n = std::min(room, Bytes.size() - at);
    if (n == 0 && room > 0) return std::nullopt;
    if (n > 0) std::memcpy(frame.Room(), Bytes.data() + at, n);
    at += n;
    frame.Arrived(static_cast<int32_t>(n));
  }
  if (frame.Refused()) return std::nullopt;
  if (Used) *Used = frame.Used();
  return frame.TakeText();
}
