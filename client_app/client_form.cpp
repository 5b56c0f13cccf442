#include "client_form.h"

#include <clocale>
#include <utility>

#include "sysutils.h"

namespace {

std::u16string TwoDigits(int v) {
  return {static_cast<char16_t>(u'0' + v / 10 % 10), static_cast<char16_t>(u'0' + v % 10)};
}

// The visible stand-in of a control code unit, or the code unit itself.
char16_t Visible(char16_t c) {
  if (c < 0x20) return static_cast<char16_t>(0x2400 + c);
  if (c == 0x7F) return 0x2421;
  return c;
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
      FFormatSettings(LocaleFormatSettings()), FSender(*udtClient1, View, FFormatSettings) {
  // The stored settings of the connection, read in as a window description would be.
  udtClient1->BeginLoading();
  udtClient1->SetRemoteHost(kDefaultRemoteHost);
  udtClient1->SetRemotePort(protocol::kDefaultPort);
  udtClient1->SetActive(false);
  udtClient1->SetBlockMode(bmBlocking);
  udtClient1->OnReceive = [this](TObject* s, void* b, int32_t& n) { udtClient1Receive(s, b, n); };
  udtClient1->OnSend = [this](TObject* s, void* b, int32_t& n) { udtClient1Send(s, b, n); };
  udtClient1->OnError = [this](TObject* s, int32_t e, const char* d) { udtClient1Error(s, e, d); };
  udtClient1->OnConnectWait = [this](TObject*) { return ConnectWait(); };
  udtClient1->OnReceiveWait = [this](TObject*) { return ReceiveWait(); };
  udtClient1->EndLoading();
  FSender.OnStart = [this](const std::u16string& Name) {
    FMeasuredName = Name;
    FView.SetCancelEnabled(true);
    FMeter.Begin(*udtClient1, TTransferMeter::TSide::Sending);
  };
  FSender.OnPiece = [this](const TFileSender::TPiece& Piece) {
    FMeter.Add(*udtClient1, Piece.Data, Piece.Bytes);
  };
  FSender.OnFinished = [this](TFileSender::TOutcome Outcome) { FinishTransfer(Outcome); };
}

TForm2::~TForm2() {
  try {
    CloseBounded();
  } catch (...) {
  }
  udtClient1->OnReceive = nullptr;
  udtClient1->OnSend = nullptr;
  udtClient1->OnError = nullptr;
  udtClient1->OnConnectWait = nullptr;
  udtClient1->OnReceiveWait = nullptr;
}

void TForm2::Button1Click(TObject*) {
  // While a file goes out, nothing else may enter the connection.
  if (Transferring() || FWaiting || FClosing) return;
  const int32_t before = udtClient1->Active() ? udtClient1->Handle() : -1;
  udtClient1->SetRemoteHost(UnicodeToAnsi(FView.EditText(TClientEdit::Edit3)));
  udtClient1->SetRemotePort(UnicodeToAnsi(FView.EditText(TClientEdit::Edit2)));
  // Taken only by a socket this Open creates.
  udtClient1->SetLinkSettings(FLinkSettings);
  FOpening = true;
  FOpenCancelled = false;
  try {
    udtClient1->Open();
  } catch (...) {
    FOpening = false;
    if (FWaiting) Hold(false);
    throw;
  }
  FOpening = false;
  if (FWaiting) Hold(false);
  if (!udtClient1->Active() || udtClient1->Handle() != before) {
    FReceivedCarry.reset();
    FSentCarry.reset();
    // A new connection: the settings it was made with are in force now.
    FSender.SetBlock(udtClient1->LinkSettings().Block.value_or(protocol::kPieceSize));
    FInForce.reset();
    if (udtClient1->Connected()) FInForce = udtClient1->SettingsInForce();
    if (FInForce) {
      FInForce->Block = FSender.Block();
      FInForce->Asked = !udtClient1->LinkSettings().Empty();
      FView.ShowSettingsInForce(*FInForce);
    }
  }
}

void TForm2::btnLinkSettingsClick(TObject*) {
  if (Transferring() || FWaiting || FClosing) return;
  TLinkSettings settings = FLinkSettings;
  if (FView.ExecuteLinkSettingsDialog(settings)) SetLinkSettings(settings);
}

void TForm2::SetLinkSettings(const TLinkSettings& Settings) {
  FLinkSettings = Settings;
  FView.ShowNextLinkSettings(FLinkSettings);
}

void TForm2::Button4Click(TObject*) {
  if (Transferring() || FWaiting) return;
  udtClient1->Close();
}

void TForm2::Button2Click(TObject*) {
  if (Transferring() || FWaiting || FClosing) return;
  std::u16string text = TimeStamp() + FView.EditText(TClientEdit::edtContent);
  udtClient1->SendString(text);
  FReplyCancelled = false;
  const uint32_t before = udtClient1->BytesReceived();
  std::u16string reply;
  // The receive waits for the reply itself; once that takes longer than a
  // moment it runs the window's events (ReceiveWait), so Cancel can end it.
  udtClient1->ReceiveString(reply);
  if (FWaiting) Hold(false);
  if (FReplyCancelled) return;
  // A window that closed before any of the reply came has nothing to show.
  if (FClosing && udtClient1->BytesReceived() == before) return;
  FView.ShowReply(text, reply);
}

void TForm2::Hold(bool Holding) {
  FWaiting = Holding;
  FView.SetConnectionButtonsEnabled(!Holding);
  FView.SetSendFileEnabled(!Holding);
  FView.SetCancelEnabled(Holding);
}

bool TForm2::ConnectWait() {
  if (!FWaiting) Hold(true);
  FView.ProcessEvents();
  return !FOpenCancelled && !FClosing;
}

bool TForm2::ReceiveWait() {
  if (!FWaiting && !FSender.Running()) Hold(true);
  FView.ProcessEvents();
  return !FClosing && !FSender.Stopping();
}

void TForm2::btnCancelClick(TObject*) {
  if (FSender.Transferring())
    FSender.Cancel();
  else if (FOpening)
    FOpenCancelled = true;
  else if (FWaiting) {
    FReplyCancelled = true;
    CloseNow(*udtClient1);
  }
}

void TForm2::FinishTransfer(TFileSender::TOutcome Outcome) {
  if (!FMeasuredName) return;
  const std::u16string name = *std::exchange(FMeasuredName, std::nullopt);
  FView.SetCancelEnabled(false);
  using O = TFileSender::TOutcome;
  TTransferOutcome outcome = TTransferOutcome::Failed;
  if (Outcome == O::Complete)
    outcome = TTransferOutcome::Complete;
  else if (Outcome == O::Cancelled)
    outcome = TTransferOutcome::Cancelled;
  else if (Outcome == O::SendFailed || Outcome == O::FileEnded || Outcome == O::Stopped)
    outcome = TTransferOutcome::Cut;
  try {
    TTransferSummary s = FMeter.Finish(*udtClient1, outcome);
    s.Peer = udtClient1->RemoteHost() + ":" + udtClient1->RemotePort();
    s.Name = Utf16ToUtf8(name);
    s.Settings = FInForce;
    FLastTransfer = s;
    FView.ShowTransferSummary(s);
  } catch (...) {
    // A summary that cannot be made leaves the last one in place.
  }
}

void TForm2::MeasureLastTransferUntilNow() {
  if (!FLastTransfer || !udtClient1->Active()) return;
  TTransferSummary s = FMeter.Finish(*udtClient1, FLastTransfer->Outcome);
  s.Peer = FLastTransfer->Peer;
  s.Name = FLastTransfer->Name;
  s.Sha256 = FLastTransfer->Sha256;
  FLastTransfer = s;
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
  if (!FClosing) FSender.Run();
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

void TForm2::udtClient1Error(TObject*, int32_t SocketError, const char* ErrorDesc) {
  FView.ShowConnectionError(SocketError, AnsiToUnicode(ErrorDesc ? ErrorDesc : ""));
}

void TForm2::Shutdown() {
  FClosing = true;
  // A running transfer stops at its next step and closes the connection itself;
  // a connect under way is given up at its next look at the window.
  if (FSender.Running())
    FSender.Stop();
  else if (!FOpening)
    CloseBounded();
}

void TForm2::CloseBounded() { CloseWithin(*udtClient1, kCloseGrace); }
