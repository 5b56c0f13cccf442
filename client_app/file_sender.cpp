#include "file_sender.h"

#include <algorithm>
#include <cfenv>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "app_support.h"
#include "file_stream.h"
#include "sysutils.h"

namespace {

// Rounds to the nearest integer, an exact half to the even neighbour.
long double RoundHalfEven(long double v) {
  const int mode = std::fegetround();
  std::fesetround(FE_TONEAREST);
  long double r = std::nearbyintl(v);
  std::fesetround(mode);
  return r;
}

// "%d/%d= %f" with two decimals and the given decimal separator.
std::u16string ProgressCaption(int32_t sent, int32_t size, long double percent,
                               char16_t decimalSeparator) {
  char number[64];
  auto res = std::to_chars(number, number + sizeof number, percent, std::chars_format::fixed, 2);
  std::u16string text = Decimal(sent) + u"/" + Decimal(size) + u"= ";
  for (const char* c = number; c != res.ptr; ++c)
    text.push_back(*c == '.' ? decimalSeparator : static_cast<char16_t>(*c));
  return text;
}

}  // namespace

TFileSender::TFileSender(TUDTClient& Client, TClientView& View, const TFormatSettings& Settings)
    : FClient(Client), FView(View), FSettings(Settings) {}

void TFileSender::Decide(TOutcome Outcome) noexcept {
  if (FOutcome == TOutcome::None) FOutcome = Outcome;
}

void TFileSender::Stop() {
  if (Running()) Decide(TOutcome::Stopped);
}

void TFileSender::Cancel() {
  if (Running()) Decide(TOutcome::Cancelled);
}

void TFileSender::Run() {
  if (Running()) return;
  FState = TState::Choosing;
  FOutcome = TOutcome::None;
  // Nothing of the transfer reaches the sent view.
  TSocketDataEvent savedOnSend = std::exchange(FClient.OnSend, nullptr);
  auto end = [&] {
    if (Transferring()) {
      FView.SetConnectionButtonsEnabled(true);
      FView.SetSendFileEnabled(true);
    }
    FClient.OnSend = savedOnSend;
    // The peer may still wait for data: end the conversation.
    if (FOutcome == TOutcome::Cancelled)
      CloseNow(FClient);
    else if (Stopping())
      CloseWithin(FClient, kCloseGrace);
    FState = TState::Finished;
    if (OnFinished) OnFinished(FOutcome);
  };
  try {
    if (!FClient.Active()) {
      Decide(TOutcome::NotStarted);
    } else {
      std::u16string path;
      if (!FView.ExecuteOpenDialog(path) || Stopping())
        Decide(TOutcome::NotStarted);
      else
        SendChosenFile(path);
    }
  } catch (...) {
    Decide(TOutcome::Failed);
    end();
    throw;
  }
  end();
}

void TFileSender::SendChosenFile(const std::u16string& Path) {
  FState = TState::AwaitingReply;
  FView.SetSendFileEnabled(false);
  FView.SetConnectionButtonsEnabled(false);

  TFileStream file(Utf16ToUtf8(Path));
  const int64_t fileSize = file.Size();
  // The size field is a signed 32-bit count: a larger file cannot be announced.
  if (fileSize > std::numeric_limits<int32_t>::max())
    throw Exception(u"Cannot send \"" + Path + u"\": the file holds " + Decimal(fileSize) +
                    u" bytes; at most 2147483647 bytes can be sent.");
  if (fileSize < 0 || !file.Seek(0))
    throw Exception(u"Cannot read the size of \"" + Path + u"\".");

  const size_t slash = Path.find_last_of(u'/');
  const std::u16string name = slash == std::u16string::npos ? Path : Path.substr(slash + 1);
  if (OnStart) OnStart(name);
  FClient.SendString(std::u16string(protocol::kFileRequest));
  std::u16string reply;
  FClient.ReceiveString(reply);
  if (Stopping()) return;

  FState = TState::Sending;
  const int32_t size = static_cast<int32_t>(fileSize);
  const std::string sizeField = protocol::EncodeSizeField(size);
  SendWhole(sizeField.data(), static_cast<int32_t>(sizeField.size()));
  if (Stopping()) return;
  FClient.SendString(name);
  SendFileData(file, size);
}

bool TFileSender::SendFileData(TFileStream& Stream, int32_t Size) {
  FView.SetGaugeProgress(0);
  FView.SetGaugeMaxValue(100);
  int32_t sent = 0;
  int32_t n = 0;
  const int32_t block = std::clamp(FBlock, 1, kMaxBlock);
  FPiece.resize(static_cast<size_t>(block));
  char* piece = FPiece.data();
  for (;;) {
    // Never more than the announced size: whatever followed would reach the
    // peer as the start of the next message.
    n = Stream.Read(piece, std::min(block, Size - sent));
    sent += n;
    // An empty file is complete at once.
    long double percent = Size == 0 ? 100.0L : static_cast<long double>(sent) / Size * 100.0L;
    int rounded = static_cast<int>(RoundHalfEven(percent));
    if (rounded != FView.GaugeProgress()) {
      FView.SetGaugeProgress(rounded);
      FView.SetCaption(ProgressCaption(sent, Size, percent, FSettings.DecimalSeparator));
    }
    FView.ProcessEvents();
    OutputDebugString("Send Part Stream: " + std::to_string(n));
    if (n == 0 || Stopping() || !SendWhole(piece, n)) break;
    if (OnPiece) OnPiece(TPiece{piece, n, sent, Size});
  }
  if (n == 0 && sent == Size) {
    Decide(TOutcome::Complete);
    return true;
  }
  // Stopped: Run closes the connection. A failed send has closed it already.
  if (Stopping()) return false;
  if (!FClient.Active()) {
    Decide(TOutcome::SendFailed);
    return false;
  }
  // The peer still waits for the bytes it was promised and would take the next
  // message as file data: end the conversation rather than corrupt it.
  Decide(TOutcome::FileEnded);
  FClient.Close();
  throw Exception(u"The file ended after " + Decimal(sent) + u" of " + Decimal(Size) +
                  u" announced bytes; the connection was closed.");
}

bool TFileSender::WaitWritable(int32_t n) {
  // UDT's send blocks only while its buffer is full. Room that was seen free
  // stays free until our own sends use it, so it is counted down and UDT is
  // asked again only once it is used up.
  const int32_t h = FClient.Handle();
  if (h != FRoomHandle) {
    FRoomHandle = h;
    FRoomPackets = 0;
  }
  auto packets = [&] { return FRoomPayload > 0 ? (n + FRoomPayload - 1) / FRoomPayload : n; };
  if (FRoomPackets >= packets()) {
    FRoomPackets -= packets();
    return true;
  }
  // A closed or broken connection goes straight to the send, which reports it.
  while (FClient.Active()) {
    if (!FClient.SendRoom(FRoomPackets, FRoomPayload)) FRoomPackets = 0;
    if (FRoomPackets >= packets()) {
      FRoomPackets -= packets();
      return true;
    }
    // Once writable, the send waits at most for the next acknowledgement.
    if (FClient.ReadyWithin(true, 50)) break;
    FView.ProcessEvents();
    if (Stopping()) return false;
  }
  FRoomPackets = 0;
  return true;
}

bool TFileSender::SendWhole(const char* p, int32_t n) {
  while (n > 0) {
    if (!WaitWritable(n)) return false;
    int32_t r = FClient.SendBuf(p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= r;
  }
  return true;
}
