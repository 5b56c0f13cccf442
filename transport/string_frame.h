// The string frame, the wire unit of text: a 4-byte little-endian count of
// UTF-16 code units, then the code units, low byte first. Its encoder and its
// reader are the only ones: the base socket, the protocol, the tests, the
// benchmarks and the fuzzer all use them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The count, and every other 4-byte field of the exchange: a signed 32-bit
// little-endian integer.
inline constexpr size_t kFieldBytes = 4;
// The largest count a frame may carry: twice it must fit a signed 32-bit length.
inline constexpr int32_t kMaxFrameCount = (1 << 30) - 1;

// The 4 bytes of a field holding Value.
std::array<char, kFieldBytes> EncodeField(int32_t Value) noexcept;
// The value of the field at Bytes (kFieldBytes of them).
int32_t DecodeField(const char* Bytes) noexcept;

// A frame as it goes on the wire, in its two parts: the count, then the text's
// bytes straight from the text's memory (which must outlive the parts).
struct TStringFrameParts {
  std::array<char, kFieldBytes> Count;
  const char* Text;
  int32_t TextBytes;
};
// The parts of the frame holding Text. Throws Exception for a text longer than
// kMaxFrameCount code units.
TStringFrameParts StringFrameParts(std::u16string_view Text);
// The whole frame holding Text, as one string of bytes.
std::string EncodeStringFrame(std::u16string_view Text);

// Reads one frame from the pieces a connection delivers: the caller receives
// into Room() at most RoomBytes() bytes, as many receives as it takes, and
// hands each count to Arrived until Done(). The text's memory grows with what
// has arrived, never up front to what the count announces, so a peer that
// announces much and sends little costs what it sent. A text of no bytes still
// takes one receive, of length 0. Not thread-safe.
class TStringFrameReader {
 public:
  // Starts a frame; Text's memory is reused for the text.
  explicit TStringFrameReader(std::u16string Text = {});

  // Where the next bytes go, and how many at most.
  char* Room() noexcept;
  int32_t RoomBytes() const noexcept;
  // Count bytes have arrived at Room(); 0 ends the receive of an empty text.
  void Arrived(int32_t Count);

  // The whole frame has arrived, or its count is out of range (Refused).
  bool Done() const noexcept { return FPhase == TPhase::Done || Refused(); }
  // The count has arrived and is negative or above kMaxFrameCount: no text follows.
  bool Refused() const noexcept { return FPhase == TPhase::Refused; }
  // The count, once its bytes have arrived.
  std::optional<int32_t> Count() const noexcept;
  // The bytes of the frame taken so far.
  size_t Used() const noexcept { return FCountGot + FTextGot; }
  // The text: whole once Done(), else the code units that arrived whole.
  std::u16string TakeText();

 private:
  enum class TPhase { Count, Text, Done, Refused };
  void GrowRoom();

  TPhase FPhase = TPhase::Count;
  std::array<char, kFieldBytes> FCount{};
  size_t FCountGot = 0;
  std::u16string FText;
  int32_t FTotal = 0;    // bytes of the text
  int32_t FTextGot = 0;  // of them arrived
  int32_t FRoom = 0;     // of them FText holds room for
};

// The text of the frame at the start of Bytes, and in Used the bytes it takes;
// nothing when the frame is cut short or its count is out of range.
std::optional<std::u16string> DecodeStringFrame(std::string_view Bytes, size_t* Used = nullptr);
