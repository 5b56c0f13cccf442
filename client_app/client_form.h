// TForm2: the client window's logic: the connection udtClient1, the handlers of
// its controls, the traffic views and the file sender, over a TClientView.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "client_view.h"
#include "component.h"
#include "custom_ip_client.h"
#include "file_sender.h"
#include "transfer_meter.h"

// The formatting settings of the C library's current locale (time separator ':').
TFormatSettings LocaleFormatSettings();

// The client window's logic. Everything runs on the main thread; the handlers
// may throw, and the window shows what leaves them with its error display.
class TForm2 : public TComponent {
 public:
  // How long a closing connection may still wait for its peer to acknowledge
  // data when the window goes away.
  static constexpr std::chrono::seconds kCloseGrace = TFileSender::kCloseGrace;
  // The stored peer address of Edit3 and udtClient1.
  static constexpr const char* kDefaultRemoteHost = "192.168.1.100";

  // Creates udtClient1 with its stored settings; the view must outlive the form.
  explicit TForm2(TClientView& View, TComponent* AOwner = nullptr);
  // Closes the connection (waiting at most kCloseGrace for unacknowledged data).
  ~TForm2() override;

  // Open: takes the peer address and port from Edit3 and Edit2 and connects.
  void Button1Click(TObject* Sender);
  // Close: closes the connection.
  void Button4Click(TObject* Sender);
  // Send: sends the time-stamped message, waits for the reply and logs it.
  void Button2Click(TObject* Sender);
  // SendFile: asks for a file and sends it over the open connection.
  void btnSendFileClick(TObject* Sender);
  // "Link settings…": edits the settings in the view's dialog; they apply from the next Open.
  void btnLinkSettingsClick(TObject* Sender);
  // The settings the next Open uses; a connection that is open keeps its own.
  const TLinkSettings& LinkSettings() const noexcept { return FLinkSettings; }
  void SetLinkSettings(const TLinkSettings& Settings);
  // The settings of the connection, read back when it was made; empty before.
  const std::optional<TLinkSettingsInForce>& SettingsInForce() const noexcept { return FInForce; }

  // Cancel (and Esc): stops the running transfer, the wait for the peer's
  // reply, or a connect under way, and closes the connection; does nothing
  // when none of them runs.
  void btnCancelClick(TObject* Sender);
  // True while a transfer, a connect or a wait for the peer can be cancelled.
  bool Cancellable() const noexcept { return FSender.Transferring() || FWaiting; }
  // How the last file transfer went; empty before the first.
  const std::optional<TTransferSummary>& LastTransfer() const noexcept { return FLastTransfer; }
  // Moves the end of the last transfer's measure to now, for a caller that knows
  // the peer holds every byte only now (the reply to a later message): its time,
  // rate, link counts and RTT then cover the data's whole way, not just its
  // hand-over to UDT's send buffer. Main thread.
  void MeasureLastTransferUntilNow();

  // Traffic and error callbacks of udtClient1.
  void udtClient1Receive(TObject* Sender, void* Buf, int32_t& DataLen);
  void udtClient1Send(TObject* Sender, void* Buf, int32_t& DataLen);
  void udtClient1Error(TObject* Sender, int32_t SocketError, const char* ErrorDesc);

  // The window is going away: a running transfer stops before its next piece,
  // and the connection closes at once if no handler is running, or when the
  // running one ends. Waits at most kCloseGrace for unacknowledged data.
  void Shutdown();
  // True while btnSendFileClick is sending a file.
  bool Transferring() const noexcept { return FSender.Transferring(); }
  // The file sender behind btnSendFileClick.
  TFileSender& FileSender() noexcept { return FSender; }

  const TFormatSettings& FormatSettings() const noexcept { return FFormatSettings; }
  void SetFormatSettings(const TFormatSettings& Value) { FFormatSettings = Value; }
  // The source of the local time of the message time stamp; the system clock when empty.
  void SetClock(std::function<std::tm()> Clock) { FClock = std::move(Clock); }

  // The connection; owned by the form.
  TUDTClient* udtClient1;

 private:
  // "HH:NN:SS: " of the local time, with the user's time separator.
  std::u16string TimeStamp() const;
  // Closes the connection, bounding its wait for acknowledgements.
  void CloseBounded();
  // Holds the buttons while a slow wait runs with window events running:
  // Cancel enabled, the others disabled; and gives them back.
  void Hold(bool Holding);
  // Called while Open's connect is under way: holds the buttons once and lets
  // window events run; false once the connect is to be given up.
  bool ConnectWait();
  // Called while the read of a reply waits for it: holds the
  // buttons once outside a transfer and lets window events run; false once the
  // read is to be given up.
  bool ReceiveWait();
  // Ends the measurement of the running transfer and shows its summary.
  void FinishTransfer(TFileSender::TOutcome Outcome);
  void AppendTraffic(std::optional<uint8_t>& carry, const void* Buf, int32_t DataLen,
                     bool sent);

  TClientView& FView;
  TFormatSettings FFormatSettings;
  TFileSender FSender;
  std::function<std::tm()> FClock;
  // The window is going away: handlers do nothing any more.
  bool FClosing = false;
  // A slow reply to Send, or a slow connect, is awaited with window events running.
  bool FWaiting = false;
  // Open's connect is under way, and Cancel has asked to give it up.
  bool FOpening = false;
  bool FOpenCancelled = false;
  // Cancel ended the wait for Send's reply.
  bool FReplyCancelled = false;
  TTransferMeter FMeter;
  // The name of the file whose transfer is being measured; empty outside one.
  std::optional<std::u16string> FMeasuredName;
  std::optional<TTransferSummary> FLastTransfer;
  TLinkSettings FLinkSettings;
  std::optional<TLinkSettingsInForce> FInForce;
  // A byte left over from a piece of odd length, joined with the next piece's first byte.
  std::optional<uint8_t> FReceivedCarry;
  std::optional<uint8_t> FSentCarry;
};

// Traffic bytes as text: two bytes to a UTF-16 code unit, low byte first. Control
// code units (NUL included) show as their visible pictures (U+2400...), so no
// text is cut. An odd last byte is kept in carry for the next piece.
std::u16string TrafficText(std::optional<uint8_t>& carry, const void* Buf, int32_t DataLen);
