// TServerPage: the server page of the terminal front-end. It keeps what the
// server window shows (log, edits, buttons) as plain state and runs TForm1's
// handlers over it.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "exchange_protocol.h"
#include "page_host.h"
#include "terminal_page.h"
#include "server_form.h"
#include "server_view.h"
#include "link_statistics.h"
#include "sysutils.h"
#include "text_field.h"

// The server page: Memo1, edtIP, edtPort, btnOpen and btnClose over TForm1.
// Creating it starts the server listening. Main thread only.
class TServerPage : public IServerView, public TTerminalPage {
 public:
  // Builds the page and runs FormCreate: the server listens at once on every
  // local IPv4 address (or LocalHost, when given), port LocalPort. Host must
  // outlive the page. The server listens with the link settings Link.
  explicit TServerPage(TPageHost& Host, const TSocketPort& LocalPort = protocol::kDefaultPort,
                       const TSocketHost& LocalHost = protocol::kListenHost,
                       const TLinkSettings& Link = {});
  // Shuts the server and its conversations down before the page's state goes.
  ~TServerPage() override;
  TServerPage(const TServerPage&) = delete;
  TServerPage& operator=(const TServerPage&) = delete;

  // The logic: the handlers, UdtServer1, Shutdown.
  TForm1& Form() noexcept { return *FForm; }

  // btnOpen: reopens the server on the edits' address and port, if the button is enabled.
  void ClickOpen();
  // btnClose: closes the server, if the button is enabled.
  void ClickClose();
  // Empties the log (the window's double click on Memo1).
  void ClearLogClick();

  const std::deque<std::u16string>& Log() const noexcept { return FLog; }
  TTextField& Edit(TServerEdit Which) noexcept { return Which == edtIP ? FedtIP : FedtPort; }
  bool ButtonEnabled(TServerButton Which) const noexcept {
    return Which == btnOpen ? FOpenEnabled : FCloseEnabled;
  }
  // "listening on HOST:PORT", "active, not listening" or "closed", after UdtServer1.
  std::u16string ServerState() const;

  // TTerminalPage
  TCursor Draw(int Height, int Width) override;
  std::vector<TTextField*> FocusFields() override;

  // IServerView
  std::u16string EditText(TServerEdit Which) const override;
  void SetButtonEnabled(TServerButton Which, bool Enabled) override;
  void AppendLog(const std::u16string& Line) override;
  void ClearLog() override;
  void ShowOtherWindows() override;
  void AddTransfer(const TTransferSummary& Summary) override;

  // The rows of received files, oldest first; at most kMaxTransfers.
  static constexpr size_t kMaxTransfers = 1000;
  const std::deque<TTransferSummary>& Transfers() const noexcept { return FTransfers; }

 private:
  // Runs a handler; a failure goes to the host's error line. The buttons follow.
  void Run(void (TForm1::*Handler)());

  TPageHost& FHost;
  std::deque<std::u16string> FLog;
  std::deque<TTransferSummary> FTransfers;
  TTextField FedtIP{u"127.0.0.1"};
  TTextField FedtPort{Utf8ToUtf16(protocol::kDefaultPort)};
  bool FOpenEnabled = true;
  bool FCloseEnabled = true;
  std::unique_ptr<TForm1> FForm;
};
