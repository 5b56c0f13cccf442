#include "base_socket.h"

#include <algorithm>
#include <array>
#include <new>

#include "string_frame.h"

namespace {

constexpr int32_t kSegmentSize = 1052;      // UDT_MSS set on every socket we create
constexpr int32_t kMessagePiece = 512;      // message-mode piece size
constexpr int32_t kMaxSingleMessage = 511;  // larger sends go in pieces
constexpr int32_t kStreamPiece = 512;       // SendStream read size

constexpr int32_t kUdtInvalidSocket = 5004;
constexpr int32_t kUdtReceiveTimedOut = 6003;

// A frame's next bytes that come within this time are waited for without
// OnReceiveWait, which is then called this often.
constexpr int32_t kQuietFrameWaitMs = 100;
constexpr int32_t kFrameWaitSliceMs = 50;

}  // namespace

TUDTBaseSocket::TUDTBaseSocket(TComponent* AOwner) : TComponent(AOwner) {}

TUDTBaseSocket::~TUDTBaseSocket() {
  try {
    TUDTBaseSocket::Close();
  } catch (...) {
  }
  if (FReadFds) UDSET_FREE(FReadFds);
  if (FWriteFds) UDSET_FREE(FWriteFds);
  FReadFds = FWriteFds = nullptr;
}

void TUDTBaseSocket::Open() {
  if (Active()) return;
  int32_t h = CheckResult(udt_socket(MapDomain(FDomain), MapSockType(FSockType), 0));
  FSocket = h;
  FHandleOpen = h != -1;
  FActive = h != -1;
  if (h == -1) return;
  // The settings go on here, before a descendant binds, connects or listens:
  // UDT4 takes the segment size and the buffers only before bind, the flow
  // window and the congestion control only before connect.
  FSettingRefused.reset();
  int32_t mss = FLinkSettings.Mss.value_or(kSegmentSize);
  const int32_t r = udt_setsockopt(Handle(), 0, 0, &mss, sizeof mss);
  if (r == -1 && FLinkSettings.Mss) {
    const char* desc = nullptr;
    const int32_t code = udt_getlasterror2(&desc);
    FSettingRefused = TSettingRefusal{"mss", std::to_string(mss), code, desc ? desc : ""};
  }
  CheckResult(r);
  if (Active() && !FLinkSettings.Empty()) {
    TLinkSettings rest = FLinkSettings;
    rest.Mss.reset();
    FSettingRefused = ApplyLinkSettings(h, rest);
    if (FSettingRefused) ReportError(FSettingRefused->Code, FSettingRefused->Desc.c_str());
  }
  FBytesReceived = 0;
  FBytesSent = 0;
  NotifyCreateHandle();
}

void TUDTBaseSocket::Close() {
  // Cleared before the UDT call, so a Close re-entered from the error path does nothing.
  if (!FActive.exchange(false)) return;
  // Active stored while loading, with no socket behind it: nothing to close.
  if (!FHandleOpen.exchange(false)) return;
  try {
    // A socket that UDT's garbage collector already reaped (its peer closed a
    // while ago) gives "invalid socket" here: it is gone, which is all we asked.
    if (udt_close(Handle()) == -1) {
      const char* desc = nullptr;
      if (udt_getlasterror2(&desc) != kUdtInvalidSocket) CheckResult(-1);
    }
  } catch (...) {
  }
  NotifyDestroyHandle();
}

void TUDTBaseSocket::SetActive(bool Value) {
  if (Value == Active()) return;
  if (!ClosesOnChange()) {
    FActive = Value;
  } else if (Value) {
    Open();
  } else {
    Close();
  }
}

void TUDTBaseSocket::SetBlockMode(TSocketBlockMode Value) {
  if (Value == FBlockMode) return;
  if (ClosesOnChange()) Close();
  FBlockMode = Value;
}

void TUDTBaseSocket::SetDomain(TUDTSocketDomain Value) {
  if (Value == FDomain) return;
  if (ClosesOnChange()) Close();
  FDomain = Value;
}

void TUDTBaseSocket::SetSockType(TUDTSocketType Value) {
  if (Value == FSockType) return;
  if (ClosesOnChange()) Close();
  FSockType = Value;
}

void TUDTBaseSocket::Loaded() {
  TComponent::Loaded();
  if (Active() && !IsDesigning() && !FHandleOpen) {
    FActive = false;
    Open();
  }
}

int32_t TUDTBaseSocket::CheckResult(int32_t ResultCode) {
  if (ResultCode == -1) ReportError();
  return ResultCode;
}

void TUDTBaseSocket::ReportError() {
  const char* desc = nullptr;
  int32_t code = udt_getlasterror2(&desc);
  // The description lives in UDT's per-thread error, which the handler's own
  // UDT calls may overwrite; hand it a copy.
  ReportError(code, std::string(desc ? desc : "").c_str());
}

void TUDTBaseSocket::ReportError(int32_t Code, const char* Desc) {
  if (OnError) OnError(this, Code, Desc);
  Close();
}

void TUDTBaseSocket::AbandonHandle() {
  if (FActive.exchange(false) && FHandleOpen.exchange(false)) NotifyDestroyHandle();
}

void TUDTBaseSocket::NotifyCreateHandle() {
  if (Active() && OnCreateHandle) OnCreateHandle(this);
}

void TUDTBaseSocket::NotifyDestroyHandle() {
  if (OnDestroyHandle) OnDestroyHandle(this);
}

void TUDTBaseSocket::NotifySend(const void* Buf, int32_t& DataLen) {
  if (OnSend) OnSend(this, const_cast<void*>(Buf), DataLen);
}

void TUDTBaseSocket::NotifyReceive(void* Buf, int32_t& DataLen) {
  if (OnReceive) OnReceive(this, Buf, DataLen);
  FBytesReceived += static_cast<uint32_t>(DataLen);
}

int32_t TUDTBaseSocket::SendBuf(const void* Buf, int32_t BufSize, int32_t Flags) {
  int32_t n = BufSize;
  NotifySend(Buf, n);
  // A handler may shorten the send, never reach past the caller's buffer.
  n = std::min(n, BufSize);
  int32_t r = FSockType == stStream ? CheckResult(udt_send(Handle(), Buf, n, Flags))
                                    : SendMessage(Buf, n);
  if (r != -1) FBytesSent += static_cast<uint32_t>(r);
  return r;
}

int32_t TUDTBaseSocket::SendMessage(const void* Buf, int32_t n) {
  if (n <= kMaxSingleMessage) return CheckResult(udt_sendmsg(Handle(), Buf, n, -1, 0));
  // Larger sends go as 512-byte messages, in order, closed by an empty send.
  const char* p = static_cast<const char*>(Buf);
  int32_t total = 0;
  int32_t offset = 0;
  for (;;) {
    int32_t k = std::min(kMessagePiece, n - offset);
    int32_t r = CheckResult(udt_sendmsg(Handle(), p + offset, k, -1, 0));
    if (r == -1) return -1;
    total += r;
    offset += k;
    if (k == 0) return total;
  }
}

int32_t TUDTBaseSocket::ReceiveBuf(void* Buf, int32_t BufSize, int32_t /*Flags*/) {
  int32_t r = CheckResult(ReceiveOnce(Handle(), Buf, BufSize));
  if (r != -1) NotifyReceive(Buf, r);
  return r;
}

int32_t TUDTBaseSocket::ReceiveOnce(int32_t h, void* Buf, int32_t BufSize) noexcept {
  return FSockType == stStream ? udt_recv(h, Buf, BufSize, 0) : udt_recvmsg(h, Buf, BufSize);
}

int32_t TUDTBaseSocket::PeekBuf(void*, int32_t) {
  throw EUDTSocketError("The PeekBuf function is not suppurted in UDT", -1);
}

int32_t TUDTBaseSocket::Sendln(const std::string& s, const std::string& eol) {
  std::string t = s + eol;
  return SendBuf(t.data(), static_cast<int32_t>(t.size()), 0);
}

std::string TUDTBaseSocket::Receiveln(const std::string& eol) {
  if (FSockType != stStream) throw Exception("Receiveln() is not supported in Diagram mode");
  std::string line;
  int32_t n;
  do {
    char c;
    n = ReceiveBuf(&c, 1, 0);
    if (n > 0) line.push_back(c);
  } while (n >= 1 && !EndsWithEol(eol, line));
  // Only a line that really ends with the marker loses it.
  if (EndsWithEol(eol, line)) line.resize(line.size() - eol.size());
  return line;
}

int32_t TUDTBaseSocket::SendStream(std::istream* AStream) {
  if (!AStream) return 0;
  char buf[kStreamPiece];
  for (;;) {
    AStream->read(buf, sizeof buf);
    auto k = static_cast<int32_t>(AStream->gcount());
    if (k == 0) break;
    if (SendBuf(buf, k, 0) == -1) break;
  }
  return 0;
}

bool TUDTBaseSocket::SendWhole(const char* p, int32_t len) {
  if (len == 0) return SendBuf(p, 0, 0) != -1;
  int32_t sent = 0;
  while (sent < len) {
    int32_t r = SendBuf(p + sent, len - sent, 0);
    if (r <= 0) return false;
    sent += r;
  }
  return true;
}

bool TUDTBaseSocket::ReadyWithin(bool Write, int32_t TimeOutMs) const noexcept {
  UDSET set = udt_NEW_UDSET();
  if (!set) return true;
  udt_UD_SET(set, Handle());
  TUDTTimeVal tv{TimeOutMs / 1000, (TimeOutMs % 1000) * 1000};
  const int32_t r = Write ? udt_select(0, nullptr, set, nullptr, &tv)
                          : udt_select(0, set, nullptr, nullptr, &tv);
  udt_DEL_UDSET(set);
  return r != 0;
}

int32_t TUDTBaseSocket::ReceiveFramePiece(char* p, int32_t len) {
  if (!OnReceiveWait || !Active() || len == 0) return ReceiveBuf(p, len, 0);
  // The wait happens inside UDT's receive, on the connection's own signal, with
  // a time-out. (UDT's select would poll every 10 ms on a signal shared by the
  // whole process, which costs a text round trip tens of microseconds.)
  const int32_t h = Handle();
  int32_t waitMs = kQuietFrameWaitMs;
  for (;;) {
    if (udt_setrcvtimeo(h, waitMs) != 0) return ReceiveBuf(p, len, 0);
    int32_t r = ReceiveOnce(h, p, len);
    const char* desc = nullptr;
    const int32_t code = r == -1 ? udt_getlasterror2(&desc) : 0;
    const std::string text = desc ? desc : "";
    // Our sockets otherwise keep UDT's default: receives wait for ever.
    udt_setrcvtimeo(h, -1);
    if (r != -1) {
      NotifyReceive(p, r);
      return r;
    }
    if (code != kUdtReceiveTimedOut) {
      ReportError(code, text.c_str());
      return -1;
    }
    if (!OnReceiveWait(this) || !Active() || Handle() != h) return -1;
    waitMs = kFrameWaitSliceMs;
  }
}

std::optional<int32_t> TUDTBaseSocket::ReceiveField() {
  std::array<char, kFieldBytes> field;
  int32_t got = 0;
  while (got < static_cast<int32_t>(kFieldBytes)) {
    const int32_t r = ReceiveFramePiece(field.data() + got, static_cast<int32_t>(kFieldBytes) - got);
    if (r <= 0) return std::nullopt;
    got += r;
  }
  return DecodeField(field.data());
}

int32_t TUDTBaseSocket::SendString(const std::u16string& s) {
  const TStringFrameParts frame = StringFrameParts(s);
  bool ok = SendWhole(frame.Count.data(), kFieldBytes);
  // The text goes whatever the count gave; a failure there reports itself too.
  ok = SendWhole(frame.Text, frame.TextBytes) && ok;
  return ok ? static_cast<int32_t>(kFieldBytes) + frame.TextBytes : -1;
}

int32_t TUDTBaseSocket::ReceiveString(std::u16string& s) {
  TStringFrameReader frame(std::move(s));
  while (!frame.Done()) {
    const int32_t room = frame.RoomBytes();
    const int32_t r = ReceiveFramePiece(frame.Room(), room);
    if (r < 0 || (r == 0 && room > 0)) {
      s = frame.TakeText();
      return -1;
    }
    frame.Arrived(r);
  }
  const int32_t n = *frame.Count();
  if (n > kMaxFrameCount) throw std::bad_alloc();
  s = frame.TakeText();
  return n;
}

bool TUDTBaseSocket::SendRoom(int32_t& Packets, int32_t& Payload) const noexcept {
  const int32_t h = Handle();
  int32_t mss = 0, bufBytes = 0, queued = 0;
  if (udt_getmss(h, &mss) != 0 || mss <= 44 || udt_getsndbuf(h, &bufBytes) != 0 ||
      udt_getsnddata(h, &queued) != 0)
    return false;
  // UDT4 counts its buffer in blocks of MSS - 28 bytes, each carrying one
  // packet of MSS - 44 bytes of data.
  Packets = std::max(0, bufBytes / (mss - 28) - queued);
  Payload = mss - 44;
  return true;
}

bool TUDTBaseSocket::SetLinger(int32_t Seconds) noexcept {
  return udt_setlinger(Handle(), 1, Seconds) == 0;
}

bool TUDTBaseSocket::Select(bool* ReadReady, bool* WriteReady, bool* ExceptFlag,
                            int32_t TimeOut) {
  if (!Active()) return false;
  const int32_t h = Handle();
  UDSET rs = nullptr;
  UDSET ws = nullptr;
  if (ReadReady) {
    if (!FReadFds) FReadFds = UDSET_NEW();
    UDSET_ZERO(FReadFds);
    UDSET_SET(h, FReadFds);
    rs = FReadFds;
  }
  if (WriteReady) {
    if (!FWriteFds) FWriteFds = UDSET_NEW();
    UDSET_ZERO(FWriteFds);
    UDSET_SET(h, FWriteFds);
    ws = FWriteFds;
  }
  TUDTTimeVal tv{TimeOut / 1000, (TimeOut % 1000) * 1000};
  bool result = false;
  try {
    result = CheckResult(udt_select(0, rs, ws, nullptr, TimeOut >= 0 ? &tv : nullptr)) > 0;
  } catch (...) {
    result = false;
  }
  if (ReadReady) *ReadReady = UDSET_ISSET(h, FReadFds);
  if (WriteReady) *WriteReady = UDSET_ISSET(h, FWriteFds);
  if (ExceptFlag) *ExceptFlag = false;
  return result;
}

bool TUDTBaseSocket::WaitForData(int32_t TimeOut) {
  bool readReady = false;
  bool exceptFlag = false;
  bool ready = Select(&readReady, nullptr, &exceptFlag, TimeOut) && readReady && !exceptFlag;
  // A zero-length receive tells a live connection from a broken or closed one.
  char probe;
  if (ReceiveBuf(&probe, 0, 0) == -1) {
    Close();
    return false;
  }
  return ready;
}

bool EndsWithEol(const std::string& eol, const std::string& text) {
  if (eol.empty() || text.size() < eol.size()) return false;
  size_t start = text.size() - eol.size();
  if (IsTrailByte(text, start)) return false;
  return text.compare(start, std::string::npos, eol) == 0;
}

std::optional<TUDTTraceInfo> TUDTBaseSocket::PerfMon(bool Clear) const noexcept {
  if (!FHandleOpen.load()) return std::nullopt;
  TUDTTraceInfo info{};
  if (udt_perfmon(Handle(), &info, Clear ? 1 : 0) != 0) return std::nullopt;
  return info;
}
