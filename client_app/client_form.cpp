#include "client_form.h"

#include <udt/udt.h>

#include <algorithm>
#include <cfenv>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>

#include "app_support.h"
#include "file_stream.h"
#include "sysutils.h"
#include "udt_h.h"

namespace {

// Runs a cleanup step when the scope ends, however it ends.
template <typename F>
class TScopeExit {
 public:
  explicit TScopeExit(F f) : FStep(std::move(f)) {}
  ~TScopeExit() { FStep(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F FStep;
};

std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string TwoDigits(int v) {
  return {static_cast<char16_t>(u'0' + v / 10 % 10), static_cast<char16_t>(u'0' + v % 10)};
}

// The visible stand-in of a control code unit, or the code unit itself.
char16_t Visible(char16_t c) {
  if (c < 0x20) return static_cast<char16_t>(0x2400 + c);
  if (c == 0x7F) return 0x2421;
  return c;
}

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
  std::u16string text = Ascii(std::to_string(sent)) + u"/" + Ascii(std::to_string(size)) + u"= ";
  for (const char* c = number; c != res.ptr; ++c)
    text.push_back(*c == '.' ? decimalSeparator : static_cast<char16_t>(*c));
  return text;
}

// True when the connection u can take more data within timeoutMs, or when the
// wait itself failed (the send that follows then reports the failure).
bool Writable(int32_t u, int32_t timeoutMs) {
  UDSET ws = udt_NEW_UDSET();
  if (!ws) return true;
  udt_UD_SET(ws, u);
  TUDTTimeVal tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int32_t r = udt_select(0, nullptr, ws, nullptr, &tv);
  bool writable = r != 0;
  udt_DEL_UDSET(ws);
  return writable;
}

// True when the connection u has data to read within timeoutMs, or when the
// wait itself failed (the receive that follows then reports the failure).
bool Readable(int32_t u, int32_t timeoutMs) {
  UDSET rs = udt_NEW_UDSET();
  if (!rs) return true;
  udt_UD_SET(rs, u);
  TUDTTimeVal tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int32_t r = udt_select(0, rs, nullptr, nullptr, &tv);
  udt_DEL_UDSET(rs);
  return r != 0;
}

// A reply that comes within this time is waited for without running window
// events, as every reply from a live peer on a sound link does.
constexpr int32_t kQuietWaitMs = 100;
// How often a longer wait looks at the window's events (and so at Cancel).
constexpr int32_t kEventWaitMs = 50;

// Free packets in the connection's send buffer and the payload of one packet;
// false when UDT4 cannot tell.
bool SendBufferRoom(int32_t u, int32_t& freePackets, int32_t& payload) {
  int32_t mss = 0, bufBytes = 0, queued = 0;
  int32_t len = sizeof mss;
  if (udt_getsockopt(u, 0, UDT_MSS, &mss, &len) != 0 || mss <= 44) return false;
  len = sizeof bufBytes;
  if (udt_getsockopt(u, 0, UDT_SNDBUF, &bufBytes, &len) != 0) return false;
  len = sizeof queued;
  if (udt_getsockopt(u, 0, UDT_SNDDATA, &queued, &len) != 0) return false;
  // UDT4 counts its buffer in blocks of MSS - 28 bytes, each carrying one
  // packet of MSS - 44 bytes of data.
  freePackets = std::max(0, bufBytes / (mss - 28) - queued);
  payload = mss - 44;
  return true;
}

}  // namespace

TFormatSettings LocaleFormatSettings() {
  TFormatSettings fs;
  const lconv* lc = std::localeconv();
  if (lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1])
    fs.DecimalSeparator = static_cast<char16_t>(static_cast<unsigned char>(lc->decimal_point[0]));
  return fs;
}

std::u16string TrafficText(std::optional<uint8_t>& carry, const void* Buf, int32_t DataLen) {
  std::u16string text;
  if (!Buf || DataLen <= 0) return text;
  const auto* p = static_cast<const uint8_t*>(Buf);
  int32_t i = 0;
  text.reserve(static_cast<size_t>(DataLen) / 2 + 1);
  if (carry) {
    text.push_back(Visible(static_cast<char16_t>(*carry | p[0] << 8)));
    carry.reset();
    i = 1;
  }
  for (; i + 1 < DataLen; i += 2) text.push_back(Visible(static_cast<char16_t>(p[i] | p[i + 1] << 8)));
  if (i < DataLen) carry = p[i];
  return text;
}

TForm2::TForm2(TClientView& View, TComponent* AOwner)
    : TComponent(AOwner), udtClient1(new TUDTClient(this)), FView(View),
      FFormatSettings(LocaleFormatSettings()) {
  // The stored settings of the connection, read in as a window description would be.
  udtClient1->BeginLoading();
  udtClient1->SetRemoteHost(kDefaultRemoteHost);
  udtClient1->SetRemotePort("2048");
  udtClient1->SetActive(false);
  udtClient1->SetBlockMode(bmBlocking);
  udtClient1->OnReceive = [this](TObject* s, void* b, int32_t& n) { udtClient1Receive(s, b, n); };
  udtClient1->OnSend = [this](TObject* s, void* b, int32_t& n) { udtClient1Send(s, b, n); };
  udtClient1->OnError = [this](TObject* s, int32_t e, const char* d) { udtClient1Error(s, e, d); };
  udtClient1->EndLoading();
}

TForm2::~TForm2() {
  try {
    CloseBounded();
  } catch (...) {
  }
  udtClient1->OnReceive = nullptr;
  udtClient1->OnSend = nullptr;
  udtClient1->OnError = nullptr;
}

void TForm2::Button1Click(TObject*) {
  // While a file goes out, nothing else may enter the connection.
  if (FTransferring || FWaiting || FClosing) return;
  const int32_t before = udtClient1->Active() ? udtClient1->Handle() : -1;
  udtClient1->SetRemoteHost(UnicodeToAnsi(FView.EditText(TClientEdit::Edit3)));
  udtClient1->SetRemotePort(UnicodeToAnsi(FView.EditText(TClientEdit::Edit2)));
  udtClient1->Open();
  if (!udtClient1->Active() || udtClient1->Handle() != before) {
    FReceivedCarry.reset();
    FSentCarry.reset();
  }
}

void TForm2::Button4Click(TObject*) {
  if (FTransferring || FWaiting) return;
  udtClient1->Close();
}

void TForm2::Button2Click(TObject*) {
  if (FTransferring || FWaiting || FClosing) return;
  std::u16string text = TimeStamp() + FView.EditText(TClientEdit::edtContent);
  udtClient1->SendString(text);
  if (!WaitForReply()) return;
  std::u16string reply;
  udtClient1->ReceiveString(reply);
  FView.AppendLog(reply);
}

bool TForm2::WaitForReply() {
  const int32_t h = udtClient1->Handle();
  if (!udtClient1->Active() || Readable(h, kQuietWaitMs)) return true;
  FWaiting = true;
  FCancelled = false;
  const bool holdButtons = !FTransferring;
  if (holdButtons) {
    FView.SetConnectionButtonsEnabled(false);
    FView.SetSendFileEnabled(false);
  }
  FView.SetCancelEnabled(true);
  bool cancelled = false;
  while (udtClient1->Active() && !Readable(h, kEventWaitMs)) {
    FView.ProcessEvents();
    if (FCancelled || FClosing) {
      cancelled = true;
      break;
    }
  }
  FWaiting = false;
  if (!FTransferring) FView.SetCancelEnabled(false);
  if (holdButtons) {
    FView.SetConnectionButtonsEnabled(true);
    FView.SetSendFileEnabled(true);
  }
  if (cancelled) {
    if (FClosing)
      CloseBounded();
    else
      CloseNow();
  }
  return !cancelled;
}

void TForm2::btnCancelClick(TObject*) {
  if (Cancellable()) FCancelled = true;
}

std::u16string TForm2::TimeStamp() const {
  std::tm t{};
  if (FClock) {
    t = FClock();
  } else {
    std::time_t now = std::time(nullptr);
    localtime_r(&now, &t);
  }
  const char16_t sep = FFormatSettings.TimeSeparator;
  return TwoDigits(t.tm_hour) + sep + TwoDigits(t.tm_min) + sep + TwoDigits(t.tm_sec) + sep + u' ';
}

void TForm2::btnSendFileClick(TObject*) {
  if (FTransferring || FWaiting || FClosing) return;
  TSocketDataEvent savedOnSend = udtClient1->OnSend;
  udtClient1->OnSend = nullptr;
  FInSendFile = true;
  TScopeExit restore([this, &savedOnSend] {
    udtClient1->OnSend = savedOnSend;
    FInSendFile = false;
    if (FClosing) CloseBounded();
  });

  if (!udtClient1->Active()) return;
  std::u16string path;
  if (!FView.ExecuteOpenDialog(path) || FClosing) return;

  FTransferring = true;
  FView.SetSendFileEnabled(false);
  FView.SetConnectionButtonsEnabled(false);
  TScopeExit enable([this] {
    FTransferring = false;
    FView.SetConnectionButtonsEnabled(true);
    FView.SetSendFileEnabled(true);
  });

  TFileStream file(Utf16ToUtf8(path));
  const int64_t fileSize = file.Size();
  // The size field is a signed 32-bit count: a larger file cannot be announced.
  if (fileSize > std::numeric_limits<int32_t>::max())
    throw Exception(u"Cannot send \"" + path + u"\": the file holds " +
                    Ascii(std::to_string(fileSize)) +
                    u" bytes; at most 2147483647 bytes can be sent.");
  if (fileSize < 0 || !file.Seek(0))
    throw Exception(u"Cannot read the size of \"" + path + u"\".");

  size_t slash = path.find_last_of(u'/');
  const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  FCancelled = false;
  FView.SetCancelEnabled(true);
  FMeter.Begin(*udtClient1, TTransferMeter::TSide::Sending);
  // However the transfer ends, its summary is shown.
  TTransferOutcome outcome = TTransferOutcome::Failed;
  TScopeExit summary([this, &outcome, &name] { FinishTransfer(outcome, name); });

  udtClient1->SendString(u"#SendFile#");
  if (!WaitForReply()) {
    outcome = TTransferOutcome::Cancelled;
    return;
  }
  std::u16string reply;
  udtClient1->ReceiveString(reply);

  const int32_t size = static_cast<int32_t>(fileSize);
  char sizeField[4];
  std::memcpy(sizeField, &size, 4);
  SendWhole(sizeField, 4);

  udtClient1->SendString(name);

  FAnnouncedSize = size;
  TScopeExit forget([this] { FAnnouncedSize = -1; });
  SendFileData(file);
  file.Close();
  if (FMeter.Bytes() == size && udtClient1->Active())
    outcome = TTransferOutcome::Complete;
  else if (FCancelled)
    outcome = TTransferOutcome::Cancelled;
}

void TForm2::FinishTransfer(TTransferOutcome Outcome, const std::u16string& Name) {
  FView.SetCancelEnabled(false);
  try {
    TTransferSummary s = FMeter.Finish(*udtClient1, Outcome);
    s.Peer = udtClient1->RemoteHost() + ":" + udtClient1->RemotePort();
    s.Name = Utf16ToUtf8(Name);
    FLastTransfer = s;
    FView.ShowTransferSummary(s);
  } catch (...) {
    // A summary that cannot be made leaves the last one in place.
  }
}

void TForm2::SendFileData(TFileStream& Stream) {
  FView.SetGaugeProgress(0);
  FView.SetGaugeMaxValue(100);
  // The size announced to the peer is the one that counts, should the file
  // have changed since.
  const int32_t size =
      FAnnouncedSize >= 0
          ? FAnnouncedSize
          : static_cast<int32_t>(
                std::clamp<int64_t>(Stream.Size(), 0, std::numeric_limits<int32_t>::max()));
  int32_t sent = 0;
  char piece[kPieceSize];
  bool complete = false;
  for (;;) {
    // Never more than the announced size: whatever followed would reach the
    // peer as the start of the next message.
    int32_t n = Stream.Read(piece, std::min(kPieceSize, size - sent));
    sent += n;
    // An empty file is complete at once.
    long double percent = size == 0 ? 100.0L : static_cast<long double>(sent) / size * 100.0L;
    int rounded = static_cast<int>(RoundHalfEven(percent));
    if (rounded != FView.GaugeProgress()) {
      FView.SetGaugeProgress(rounded);
      FView.SetCaption(ProgressCaption(sent, size, percent, FFormatSettings.DecimalSeparator));
    }
    FView.ProcessEvents();
    OutputDebugString(u"Send Part Stream: " + Ascii(std::to_string(n)));
    if (n == 0) {
      complete = sent == size;
      break;
    }
    if (FClosing || FCancelled || !SendWhole(piece, n)) break;
    FMeter.Add(*udtClient1, piece, n);
  }
  // The peer still waits for the bytes it was promised and would take the next
  // message as file data: end the conversation rather than corrupt it.
  if (!complete && udtClient1->Active()) {
    if (FClosing) {
      CloseBounded();
      return;
    }
    if (FCancelled) {
      CloseNow();
      return;
    }
    udtClient1->Close();
    throw Exception(u"The file ended after " + Ascii(std::to_string(sent)) + u" of " +
                      Ascii(std::to_string(size)) +
                      u" announced bytes; the connection was closed.");
  }
}

bool TForm2::WaitWritable(int32_t n) {
  // UDT's send blocks only while its buffer is full. Room that was seen free
  // stays free until this window's own sends use it, so it is counted down
  // and UDT is asked again only once it is used up.
  const int32_t h = udtClient1->Handle();
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
  while (udtClient1->Active()) {
    if (!SendBufferRoom(h, FRoomPackets, FRoomPayload)) FRoomPackets = 0;
    if (FRoomPackets >= packets()) {
      FRoomPackets -= packets();
      return true;
    }
    // Once writable, the send waits at most for the next acknowledgement.
    if (Writable(h, 50)) break;
    FView.ProcessEvents();
    if (FClosing || FCancelled) return false;
  }
  FRoomPackets = 0;
  return true;
}

bool TForm2::SendWhole(const char* p, int32_t n) {
  while (n > 0) {
    if (!WaitWritable(n)) return false;
    int32_t r = udtClient1->SendBuf(p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= r;
  }
  return true;
}

void TForm2::udtClient1Receive(TObject*, void* Buf, int32_t& DataLen) {
  AppendTraffic(FReceivedCarry, Buf, DataLen, false);
}

void TForm2::udtClient1Send(TObject*, void* Buf, int32_t& DataLen) {
  AppendTraffic(FSentCarry, Buf, DataLen, true);
}

void TForm2::AppendTraffic(std::optional<uint8_t>& carry, const void* Buf, int32_t DataLen,
                           bool sent) {
  std::u16string text = TrafficText(carry, Buf, DataLen);
  if (text.empty()) return;
  if (sent)
    FView.AppendSent(text);
  else
    FView.AppendReceived(text);
}

void TForm2::udtClient1Error(TObject*, int32_t, const char* ErrorDesc) {
  FView.AppendLog(AnsiToUnicode(ErrorDesc ? ErrorDesc : ""));
}

void TForm2::Shutdown() {
  FClosing = true;
  if (!FInSendFile) CloseBounded();
}

void TForm2::CloseNow() {
  if (!udtClient1->Active()) return;
  // Without lingering UDT4's close returns at once and drops what the peer has
  // not acknowledged; the peer sees the connection end.
  linger none{0, 0};
  udt_setsockopt(udtClient1->Handle(), 0, UDT_LINGER, &none, sizeof none);
  udtClient1->Close();
}

void TForm2::CloseBounded() {
  if (!udtClient1->Active()) return;
  // UDT's close waits until the peer has acknowledged every byte handed to it,
  // 180 s by default; a live peer does so quickly, one that is gone never does.
  linger grace{1, static_cast<int>(kCloseGrace.count())};
  udt_setsockopt(udtClient1->Handle(), 0, UDT_LINGER, &grace, sizeof grace);
  udtClient1->Close();
}
