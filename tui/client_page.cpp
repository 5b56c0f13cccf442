#include "client_page.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app_support.h"
#include "statistics_text.h"
#include "sysutils.h"
#include "terminal_drawing.h"

namespace fs = std::filesystem;
using namespace terminal;

TClientPage::TClientPage(TPageHost& Host)
    : FHost(Host), FEdit3(Utf8ToUtf16(TForm2::kDefaultRemoteHost)) {
  FForm = std::make_unique<TForm2>(*this);
}

TClientPage::~TClientPage() { FForm.reset(); }

void TClientPage::Run(void (TForm2::*Handler)(TObject*)) {
  RunHandler([this, Handler] { (FForm.get()->*Handler)(FForm.get()); },
             [this](const std::u16string& text) { ShowError(text); });
  FHost.Invalidate();
}

void TClientPage::ClickOpen() {
  if (!FConnectionButtonsEnabled) return;
  const std::string typed = Utf16ToUtf8(FLinkSettings.Text());
  if (typed != LinkSettingsLine(FForm->LinkSettings())) {
    const size_t errors = FErrorCount;
    Run(&TForm2::btnLinkSettingsClick);
    if (FErrorCount != errors) return;
  }
  Run(&TForm2::Button1Click);
}

void TClientPage::ClickLinkSettings() {
  if (FConnectionButtonsEnabled) Run(&TForm2::btnLinkSettingsClick);
}

bool TClientPage::ExecuteLinkSettingsDialog(TLinkSettings& settings) {
  std::string error;
  TLinkSettings read;
  if (!ParseLinkSettingsLine(Utf16ToUtf8(FLinkSettings.Text()), read, error)) {
    ShowError(u"Link settings: " + Utf8ToUtf16(error));
    return false;
  }
  settings = read;
  return true;
}

void TClientPage::ShowSettingsInForce(const TLinkSettingsInForce& settings) {
  FInForce = settings;
  FHost.Invalidate();
}

void TClientPage::ClickClose() {
  if (FConnectionButtonsEnabled) Run(&TForm2::Button4Click);
}

void TClientPage::ClickSend() {
  if (FConnectionButtonsEnabled) Run(&TForm2::Button2Click);
}

void TClientPage::ClickSendFile() {
  if (FSendFileEnabled) Run(&TForm2::btnSendFileClick);
}

TTextField& TClientPage::Field(TClientField Which) noexcept {
  switch (Which) {
    case TClientField::Edit3:
      return FEdit3;
    case TClientField::Edit2:
      return FEdit2;
    case TClientField::edtContent:
      return FedtContent;
    case TClientField::FilePath:
      break;
    case TClientField::LinkSettings:
      return FLinkSettings;
  }
  return FFilePath;
}

bool TClientPage::Connected() const { return FForm->udtClient1->Connected(); }

std::u16string TClientPage::EditText(TClientEdit which) const {
  switch (which) {
    case TClientEdit::Edit3:
      return FEdit3.Text();
    case TClientEdit::Edit2:
      return FEdit2.Text();
    case TClientEdit::edtContent:
      return FedtContent.Text();
  }
  return {};
}

void TClientPage::AppendLog(const std::u16string& line) {
  FLog.push_back(line);
  while (FLog.size() > static_cast<size_t>(kMaxLogLines)) FLog.pop_front();
  FHost.Invalidate();
}

void TClientPage::AppendReceived(const std::u16string& text) {
  AppendTraffic(FReceived, text);
  FHost.Invalidate();
}

void TClientPage::AppendSent(const std::u16string& text) {
  AppendTraffic(FSent, text);
  FHost.Invalidate();
}

void TClientPage::AppendTraffic(std::u16string& view, const std::u16string& text) {
  view += text;
  // Trimming only once the view holds twice the limit keeps appending cheap.
  if (view.size() <= 2 * kMaxTrafficUnits) return;
  size_t cut = view.size() - kMaxTrafficUnits;
  if (view[cut] >= 0xDC00 && view[cut] <= 0xDFFF) ++cut;
  view.erase(0, cut);
}

bool TClientPage::ExecuteOpenDialog(std::u16string& path) {
  std::string typed = Utf16ToUtf8(FFilePath.Text());
  if (typed.empty()) return false;
  if (typed == "~" || typed.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    if (home && *home) typed = home + typed.substr(1);
  }
  std::error_code ec;
  fs::path full = fs::absolute(fs::path(typed), ec);
  if (ec) full = typed;
  full = full.lexically_normal();
  const fs::file_status status = fs::status(full, ec);
  if (ec || !fs::exists(status))
    throw Exception(u"Cannot open file \"" + Utf8ToUtf16(full.string()) +
                    u"\". No such file or directory");
  if (!fs::is_regular_file(status))
    throw Exception(u"Cannot send \"" + Utf8ToUtf16(full.string()) + u"\": it is not a file");
  path = Utf8ToUtf16(full.string());
  return true;
}

void TClientPage::SetSendFileEnabled(bool enabled) {
  FSendFileEnabled = enabled;
  FHost.Invalidate();
}

void TClientPage::SetConnectionButtonsEnabled(bool enabled) {
  FConnectionButtonsEnabled = enabled;
  FHost.Invalidate();
}

void TClientPage::SetGaugeProgress(int value) {
  FGaugeProgress = std::clamp(value, 0, std::max(FGaugeMax, 0));
  FHost.Invalidate();
}

void TClientPage::SetGaugeMaxValue(int value) {
  FGaugeMax = std::max(value, 0);
  FGaugeProgress = std::clamp(FGaugeProgress, 0, FGaugeMax);
  FHost.Invalidate();
}

void TClientPage::SetCaption(const std::u16string& text) {
  FCaption = text;
  FHost.Invalidate();
}

void TClientPage::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TClientPage::ShowError(const std::u16string& text) {
  ++FErrorCount;
  FHost.ShowError(text);
}

void TClientPage::ClickCancel() {
  if (FCancelEnabled) Run(&TForm2::btnCancelClick);
}

void TClientPage::TickStatistics() {
  if (FStatistics.Tick(*FForm->udtClient1)) FHost.Invalidate();
}

void TClientPage::SetCancelEnabled(bool enabled) {
  FCancelEnabled = enabled;
  FHost.Invalidate();
}

void TClientPage::ShowTransferSummary(const TTransferSummary& summary) {
  FLastTransfer = summary;
  FHost.Invalidate();
}

void TClientPage::ClickFocused() {
  switch (static_cast<TClientField>(Focus)) {
    case TClientField::Edit3:
    case TClientField::Edit2:
      return ClickOpen();
    case TClientField::edtContent:
      return ClickSend();
    case TClientField::FilePath:
      return ClickSendFile();
    case TClientField::LinkSettings:
      return ClickLinkSettings();
  }
}

std::vector<TTextField*> TClientPage::FocusFields() {
  return {&FEdit3, &FEdit2, &FedtContent, &FFilePath, &FLinkSettings};
}

TTerminalPage::TCursor TClientPage::Draw(int Height, int Width) {
  // The statistics block: the link, the packets, the last transfer.
  const int statRows = std::clamp(Height - 18, 1, 3);
  DrawStatistics(Height - 7 - statRows, statRows, Width);
  const int boxTop = 1, boxes = Height - 8 - statRows;
  const int logHeight = std::max(3, boxes / 2);
  const int trafficHeight = boxes - logHeight;
  Box(boxTop, 0, logHeight, Width, u"Memo1 · log");
  LogRows = logHeight - 2;
  DrawLines(boxTop + 1, 1, logHeight - 2, Width - 2, Log(), Scroll);
  const int half = Width / 2;
  const int trafficTop = boxTop + logHeight;
  Box(trafficTop, 0, trafficHeight, half, u"Memo2 · received");
  DrawStream(trafficTop + 1, 1, trafficHeight - 2, half - 2, Received());
  Box(trafficTop, half, trafficHeight, Width - half, u"Memo3 · sent");
  DrawStream(trafficTop + 1, half + 1, trafficHeight - 2, Width - half - 2, Sent());

  const bool buttons = ConnectionButtonsEnabled();
  int cursor[5];
  int row = Height - 7;
  int col = 1;
  col += Put(row, col, Width - col, u"对方IP ");
  cursor[0] = DrawField(row, col, 16, Field(TClientField::Edit3), Focus == 0);
  col += 18;
  col += Put(row, col, Width - col, u"对方端口 ");
  cursor[1] = DrawField(row, col, 7, Field(TClientField::Edit2), Focus == 1);
  col += 9;
  col += DrawButton(row, col, Width - col, u"F5", u"Open", buttons) + 1;
  col += DrawButton(row, col, Width - col, u"F6", u"Close", buttons) + 2;
  Put(row, col, Width - col, Connected() ? u"connected" : u"closed");

  row = Height - 6;
  col = 1;
  col += Put(row, col, Width - col, u"Message ");
  const int sendWidth = 10;
  // The message and, after Send, the link settings line of the next Open.
  const int rest = std::max(16, Width - col - sendWidth - 3);
  const int contentWidth = std::max(8, rest / 2);
  cursor[2] =
      DrawField(row, col, contentWidth, Field(TClientField::edtContent), Focus == 2);
  col += contentWidth + 2;
  col += DrawButton(row, col, Width - col, u"F7", u"Send", buttons) + 2;
  col += Put(row, col, Width - col, u"Link ");
  cursor[4] = DrawField(row, col, std::max(4, Width - col - 2), Field(TClientField::LinkSettings),
                        Focus == 4);

  row = Height - 5;
  col = 1;
  col += Put(row, col, Width - col, u"File    ");
  const int fileWidth = std::max(8, Width - col - 14 - 3);
  cursor[3] =
      DrawField(row, col, fileWidth, Field(TClientField::FilePath), Focus == 3);
  col += fileWidth + 2;
  DrawButton(row, col, Width - col, u"F9", u"SendFile", SendFileEnabled());

  // Gauge1, its percentage, and the caption the window shows in the page's title.
  row = Height - 4;
  col = 1;
  const int maxValue = std::max(GaugeMaxValue(), 1);
  const int progress = std::clamp(GaugeProgress(), 0, maxValue);
  const int barWidth = std::max(10, Width / 2 - 2);
  const int filled = static_cast<int>(static_cast<long>(barWidth) * progress / maxValue);
  col += Put(row, col, Width - col, u"[");
  col += Put(row, col, Width - col, std::u16string(static_cast<size_t>(filled), u'#'), A_BOLD);
  col += Put(row, col, Width - col, std::u16string(static_cast<size_t>(barWidth - filled), u'.'));
  col += Put(row, col, Width - col, u"] ");
  const std::u16string percent = Decimal(progress * 100L / maxValue) + u"%";
  col += Put(row, col, Width - col, std::u16string(4 - std::min<size_t>(4, percent.size()), u' ') +
                                        percent + u"  ");
  Put(row, col, Width - col, Title(Caption()));

  return {Height - 7 + (Focus < 2 ? 0 : Focus == 4 ? 1 : Focus - 1), cursor[Focus]};
}

void TClientPage::DrawStatistics(int Row, int Rows, int Width) {
  const TLinkStatistics& stats = Statistics().Statistics();
  std::string link = "Link: not connected", packets;
  if (!stats.Samples().empty()) {
    const TLinkSample& s = stats.Samples().back();
    link = std::string(Statistics().Live() ? "Link" : "Last link") + ": send " +
           FixedText(s.SendMbps, 1) + " Mb/s  recv " + FixedText(s.ReceiveMbps, 1) +
           " Mb/s  RTT " + RangeText(s.RttMs, stats.Rtt(), 3) + " ms  bandwidth " +
           RangeText(s.BandwidthMbps, stats.Bandwidth(), 1) + " Mb/s";
    if (FInForce)
      link += "  MSS " + std::to_string(FInForce->Mss) + " block " + std::to_string(FInForce->Block) +
              " cc " +
              (FInForce->FixedRateMbps > 0 ? "fixed:" + FixedText(FInForce->FixedRateMbps, 0)
                                           : std::string("native"));
    packets = "Packets sent " + std::to_string(s.PacketsSent) + "  received " +
              std::to_string(s.PacketsReceived) + "  retransmitted " +
              std::to_string(s.Retransmitted) + "  loss send " + std::to_string(s.SendLoss) +
              " / receive " + std::to_string(s.ReceiveLoss) + "  window flow " +
              std::to_string(s.FlowWindow) + " / congestion " + std::to_string(s.CongestionWindow) +
              "  in flight " + std::to_string(s.InFlight);
  }
  std::string last = "Last transfer: none";
  if (const auto& t = LastTransfer()) {
    last = SummaryText(*t);
    for (char& c : last)
      if (c == '\n') c = ' ';
  }
  const std::string lines[] = {link, packets, last};
  for (int i = 0; i < Rows; ++i) Put(Row + i, 1, Width - 2, Utf8ToUtf16(lines[i]));
}
