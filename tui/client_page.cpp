#include "client_page.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app_support.h"
#include "sysutils.h"

namespace fs = std::filesystem;

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
