#include "server_page.h"

#include "app_support.h"

TServerPage::TServerPage(TPageHost& Host, const TSocketPort& LocalPort,
                         const TSocketHost& LocalHost, const TLinkSettings& Link)
    : FHost(Host) {
  FLog.push_back(u"Memo1");
  FForm = std::make_unique<TForm1>(*this, LocalPort);
  if (!LocalHost.empty()) FForm->UdtServer1()->SetLocalHost(LocalHost);
  FForm->SetLinkSettings(Link);
  Run(&TForm1::FormCreate);
}

TServerPage::~TServerPage() { FForm.reset(); }

void TServerPage::Run(void (TForm1::*Handler)()) {
  auto show = [this](const std::u16string& Text) { FHost.ShowError(Text); };
  RunHandler([this, Handler] { (FForm.get()->*Handler)(); }, show);
  RunHandler([this] { FForm->actCloseUpdate(); }, show);
  FHost.Invalidate();
}

void TServerPage::ClickOpen() {
  if (FOpenEnabled) Run(&TForm1::actOpenExecute);
}

void TServerPage::ClickClose() {
  if (FCloseEnabled) Run(&TForm1::actCloseExecute);
}

void TServerPage::ClearLogClick() { Run(&TForm1::Memo1DblClick); }

std::u16string TServerPage::ServerState() const {
  TUDTServer* server = FForm->UdtServer1();
  if (!server->Active()) return u"closed";
  if (!server->Listening()) return u"active, not listening";
  const std::string host = server->LocalHost().empty() ? "0.0.0.0" : server->LocalHost();
  return u"listening on " + AnsiToUnicode(host) + u":" + AnsiToUnicode(server->LocalPort());
}

std::u16string TServerPage::EditText(TServerEdit Which) const {
  return (Which == edtIP ? FedtIP : FedtPort).Text();
}

void TServerPage::SetButtonEnabled(TServerButton Which, bool Enabled) {
  (Which == btnOpen ? FOpenEnabled : FCloseEnabled) = Enabled;
  // The server also changes state on its own threads; this is how the screen hears of it.
  FHost.Invalidate();
}

void TServerPage::AppendLog(const std::u16string& Line) {
  FLog.push_back(Line);
  while (FLog.size() > static_cast<size_t>(kMaxLogLines)) FLog.pop_front();
  FHost.Invalidate();
}

void TServerPage::ClearLog() {
  FLog.clear();
  FHost.Invalidate();
}

// The terminal shows one page at a time and has no other windows to show.
void TServerPage::ShowOtherWindows() {}

void TServerPage::AddTransfer(const TTransferSummary& Summary) {
  if (FTransfers.size() >= kMaxTransfers) FTransfers.pop_front();
  FTransfers.push_back(Summary);
  FHost.Invalidate();
}
