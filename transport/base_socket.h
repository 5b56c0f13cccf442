// TUDTBaseSocket: a component that owns at most one UDT socket and carries
// buffers, lines, streams and string frames over it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>

#include "link_settings.h"
#include "udt_h.h"
#include "udt_type.h"

// Default end-of-line marker of Sendln and Receiveln.
inline const std::string CRLF = "\r\n";

// A socket component over one UDT socket. Every failed UDT call takes the error
// path: OnError with UDT's last error, then Close. Not thread-safe: one thread
// uses an object at a time, and every event runs on that thread. Active() and
// Handle() may be read from any thread.
class TUDTBaseSocket : public TComponent {
 public:
  explicit TUDTBaseSocket(TComponent* AOwner);
  ~TUDTBaseSocket() override;

  // Creates the UDT socket and sets its segment size and the link settings;
  // does nothing when open.
  virtual void Open();
  // Closes the UDT socket; does nothing when closed. Handle() keeps its value.
  virtual void Close();

  // Sends BufSize bytes (after OnSend may change the count); bytes sent or -1.
  int32_t SendBuf(const void* Buf, int32_t BufSize, int32_t Flags = 0);
  // Receives up to BufSize bytes (one message on a message socket); bytes or -1.
  int32_t ReceiveBuf(void* Buf, int32_t BufSize, int32_t Flags = 0);
  // UDT cannot peek: always throws EUDTSocketError.
  [[noreturn]] int32_t PeekBuf(void* Buf, int32_t BufSize);
  // Sends s followed by eol; as SendBuf.
  int32_t Sendln(const std::string& s, const std::string& eol = CRLF);
  // Receives bytes one at a time until the line ends with eol or a receive gives
  // less than one byte; returns the line without its marker.
  std::string Receiveln(const std::string& eol = CRLF);
  // Sends what remains of the stream in pieces of 512 bytes; always 0.
  int32_t SendStream(std::istream* AStream);
  // Writes one string frame: a 4-byte little-endian count of UTF-16 code units,
  // then the code units. Returns the frame's bytes sent, or -1 if a part failed.
  int32_t SendString(const std::u16string& s);
  // Reads one string frame into s. Returns the count received, or -1 when a part
  // failed. Throws std::bad_alloc for a count of 2^30 or more.
  int32_t ReceiveString(std::u16string& s);
  // Receives one 4-byte field whole, as the count of a string frame is
  // received; nothing when a receive gave 0 or -1.
  std::optional<int32_t> ReceiveField();
  // The room left in the send buffer: whole packets, and the data one packet
  // carries. False when UDT4 cannot tell; that takes no error path.
  bool SendRoom(int32_t& Packets, int32_t& Payload) const noexcept;
  // Lets a later Close wait at most Seconds for the peer to acknowledge data
  // (UDT4's default is 180 s). False when UDT4 refused; that takes no error path.
  bool SetLinger(int32_t Seconds) noexcept;
  // Waits up to TimeOut ms (negative: no limit) for readiness; false when closed.
  bool Select(bool* ReadReady, bool* WriteReady, bool* ExceptFlag, int32_t TimeOut);
  // True when the socket can be read from (Write: written to) within TimeOutMs,
  // or when the wait itself failed, so the call that follows reports the
  // failure. Takes no error path.
  bool ReadyWithin(bool Write, int32_t TimeOutMs) const noexcept;
  // True when data can be read and the connection is alive; a dead connection is closed.
  bool WaitForData(int32_t TimeOut = 0);
  // UDT4's performance record of the connection, or nothing when closed or not
  // connected. Clear starts a new interval for the interval fields. A failure
  // takes no error path. Call it on the thread that uses the socket.
  std::optional<TUDTTraceInfo> PerfMon(bool Clear = true) const noexcept;

  // The link settings every socket Open creates from now on gets, before it
  // is bound, connected or listens; an open socket keeps its own.
  const TLinkSettings& LinkSettings() const noexcept { return FLinkSettings; }
  void SetLinkSettings(const TLinkSettings& Value) { FLinkSettings = Value; }
  // The setting UDT4 refused at the last Open, which took the error path; empty when none.
  const std::optional<TSettingRefusal>& SettingRefused() const noexcept { return FSettingRefused; }
  // The settings the connection really has, read back from UDT4; empty when
  // it cannot tell. Block is left 0.
  std::optional<TLinkSettingsInForce> SettingsInForce() const noexcept {
    return ReadLinkSettings(Handle());
  }

  static int32_t MapDomain(TUDTSocketDomain sd) noexcept { return UDTSocketDomainMap[sd]; }
  static int32_t MapSockType(TUDTSocketType st) noexcept { return UDTSocketTypeMap[st]; }

  static UDSET UDSET_NEW() noexcept { return udt_NEW_UDSET(); }
  static void UDSET_FREE(UDSET uset) noexcept { udt_DEL_UDSET(uset); }
  static void UDSET_ZERO(UDSET uset) noexcept { udt_UD_ZERO(uset); }
  static void UDSET_SET(int32_t u, UDSET uset) noexcept { udt_UD_SET(uset, u); }
  static void UDSET_CLR(int32_t u, UDSET uset) noexcept { udt_UD_CLR(uset, u); }
  static bool UDSET_ISSET(int32_t u, UDSET uset) noexcept { return udt_UD_ISSET(uset, u) != 0; }

  bool Active() const noexcept { return FActive.load(); }
  void SetActive(bool Value);
  TSocketBlockMode BlockMode() const noexcept { return FBlockMode; }
  void SetBlockMode(TSocketBlockMode Value);
  uint32_t BytesReceived() const noexcept { return FBytesReceived; }
  uint32_t BytesSent() const noexcept { return FBytesSent; }
  TUDTSocketDomain Domain() const noexcept { return FDomain; }
  void SetDomain(TUDTSocketDomain Value);
  int32_t Handle() const noexcept { return FSocket.load(); }
  TUDTSocketType SockType() const noexcept { return FSockType; }
  void SetSockType(TUDTSocketType Value);

  TSocketNotifyEvent OnCreateHandle;
  TSocketNotifyEvent OnDestroyHandle;
  TUDTSocketErrorEvent OnError;
  TSocketDataEvent OnReceive;
  TSocketDataEvent OnSend;
  // Called every 50 ms on the reading thread once a string frame's read has
  // waited 100 ms for its next bytes; returning false, or closing the socket,
  // gives the read up (it returns -1 and the socket stays as it is). Empty:
  // the read blocks.
  std::function<bool(TObject* Sender)> OnReceiveWait;

 protected:
  virtual void NotifyReceive(void* Buf, int32_t& DataLen);
  virtual void NotifySend(const void* Buf, int32_t& DataLen);
  // The error test: -1 runs ReportError; the result is returned unchanged.
  virtual int32_t CheckResult(int32_t ResultCode);
  void Loaded() override;

  virtual void NotifyCreateHandle();
  virtual void NotifyDestroyHandle();
  // Hands the calling thread's last UDT error to OnError, then closes.
  virtual void ReportError();
  // Hands an error taken elsewhere (on another thread) to OnError, then closes.
  void ReportError(int32_t Code, const char* Desc);
  // Closes the component without closing its UDT socket, which the caller
  // closes itself: Active turns false and OnDestroyHandle fires, as in Close.
  void AbandonHandle();

  // True when a property change must close the socket first (not loading or designing).
  bool ClosesOnChange() const noexcept { return !IsLoading() && !IsDesigning(); }

  // Takes over a UDT socket that is already open (a connection a listener
  // accepted), with the settings it was made with; no event fires. The byte
  // counters and events keep what they hold.
  void AdoptHandle(int32_t Handle, TUDTSocketDomain Domain, TUDTSocketType SockType,
                   TSocketBlockMode Mode) noexcept {
    FSocket = Handle;
    FDomain = Domain;
    FSockType = SockType;
    FBlockMode = Mode;
    FHandleOpen = true;
    FActive = true;
  }

 private:
  friend class TUDTIpSocket;

  void SetBytesSent(uint32_t Value) noexcept { FBytesSent = Value; }
  int32_t SendMessage(const void* Buf, int32_t n);
  // One UDT receive on h, of the call this socket's type takes.
  int32_t ReceiveOnce(int32_t h, void* Buf, int32_t BufSize) noexcept;
  // Sends one part of a string frame whole; false when a call gave 0 or -1.
  bool SendWhole(const char* p, int32_t len);
  // Receives the next bytes of a string frame like ReceiveBuf. With
  // OnReceiveWait set, the receive waits with a time-out and calls it between
  // waits; -1 when the read is given up.
  int32_t ReceiveFramePiece(char* p, int32_t len);

  std::atomic<bool> FActive{false};
  // A UDT socket is really open; FActive alone may be a value stored while loading.
  std::atomic<bool> FHandleOpen{false};
  TSocketBlockMode FBlockMode = bmBlocking;
  uint32_t FBytesReceived = 0;
  uint32_t FBytesSent = 0;
  TUDTSocketDomain FDomain = pfUnspec;
  std::atomic<int32_t> FSocket{-1};
  TUDTSocketType FSockType = stStream;
  UDSET FReadFds = nullptr;
  UDSET FWriteFds = nullptr;
  TLinkSettings FLinkSettings;
  std::optional<TSettingRefusal> FSettingRefused;
};

// True when text ends with eol, eol is not empty, and the marker does not start
// inside a multi-byte character of the default code page.
bool EndsWithEol(const std::string& eol, const std::string& text);
