#include "server_page.h"

#include "app_support.h"
#include "statistics_text.h"
#include "terminal_drawing.h"

using namespace terminal;

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

TTerminalPage::TCursor TServerPage::Draw(int Height, int Width) {
  // The newest received files take up to five rows under the log on a tall enough screen.
  const auto& transfers = Transfers();
  const int tableRows =
      transfers.empty() || Height < 22 ? 0 : std::min<int>(static_cast<int>(transfers.size()), 4) + 1;
  const int boxTop = 1, boxHeight = Height - 5 - tableRows;
  Box(boxTop, 0, boxHeight, Width, u"Memo1 · server log · " + ServerState());
  LogRows = boxHeight - 2;
  DrawLines(boxTop + 1, 1, boxHeight - 2, Width - 2, Log(), Scroll);
  if (tableRows > 0) {
    int row = boxTop + boxHeight;
    Put(row++, 1, Width - 2, u"Received: peer  name  bytes  s  MB/s  result  loss  RTT ms  SHA-256", A_BOLD);
    for (auto it = transfers.end() - (tableRows - 1); it != transfers.end(); ++it) {
      const auto c = SummaryColumns(*it);
      std::string text = c[scPeer];
      for (TSummaryColumn k :
           {scName, scBytes, scSeconds, scMBps, scResult, scLost, scAverageRtt, scSha256})
        text += "  " + c[k];
      Put(row++, 1, Width - 2, Utf8ToUtf16(text));
    }
  }

  const int row = Height - 4;
  int col = 1;
  col += Put(row, col, Width - col, u"IP ");
  const int ipCursor = DrawField(row, col, 16, Edit(edtIP), Focus == 0);
  col += 18;
  col += Put(row, col, Width - col, u"Port ");
  const int portCursor = DrawField(row, col, 7, Edit(edtPort), Focus == 1);
  col += 9;
  col += DrawButton(row, col, Width - col, u"F5", u"打开", ButtonEnabled(btnOpen)) + 1;
  DrawButton(row, col, Width - col, u"F6", u"关闭", ButtonEnabled(btnClose));
  return {row, Focus == 0 ? ipCursor : portCursor};
}

std::vector<TTextField*> TServerPage::FocusFields() { return {&FedtIP, &FedtPort}; }
