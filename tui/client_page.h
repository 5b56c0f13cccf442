// TClientPage: the client page of the terminal front-end. It keeps what the
// client window shows as plain state and runs TForm2's handlers over it; the
// file to send is typed into a field of its own instead of a file dialog.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client_form.h"
#include "client_view.h"
#include "link_statistics.h"
#include "exchange_protocol.h"
#include "page_host.h"
#include "terminal_page.h"
#include "sysutils.h"
#include "text_field.h"

// The editable fields of the client page, in their Tab order.
enum class TClientField { Edit3, Edit2, edtContent, FilePath, LinkSettings };

// The client page: the log Memo1, the received and sent views, the edits, the
// gauge and the caption, over TForm2. Main thread only.
class TClientPage : public TClientView, public TTerminalPage {
 public:
  // The traffic views keep the last this many code units of what they were given.
  static constexpr size_t kMaxTrafficUnits = size_t{1} << 20;

  // Host must outlive the page. The connection starts closed.
  explicit TClientPage(TPageHost& Host);
  // Closes the connection first, while the page can still take its last lines.
  ~TClientPage() override;
  TClientPage(const TClientPage&) = delete;
  TClientPage& operator=(const TClientPage&) = delete;

  // The logic behind the page.
  TForm2& Form() noexcept { return *FForm; }

  // The buttons: each runs its handler if the button is enabled; a failure goes
  // to the host's error line.
  void ClickOpen();
  void ClickClose();
  void ClickSend();
  void ClickSendFile();
  // Cancel: stops the running transfer or wait for the peer, if one runs.
  void ClickCancel();
  // The settings line (name=value ...): its values apply from the next Open;
  // a line that cannot be read goes to the error line. Open applies it too.
  void ClickLinkSettings();
  // The settings of the connection, read back when it was made.
  const std::optional<TLinkSettingsInForce>& SettingsInForce() const noexcept { return FInForce; }
  // Enter: Open in the address edits, Send in the message, SendFile in the file path.
  void ClickFocused();

  // TTerminalPage
  TCursor Draw(int Height, int Width) override;
  std::vector<TTextField*> FocusFields() override;
  // Samples the connection for the statistics block (twice a second).
  void TickStatistics();
  const TLinkMonitor& Statistics() const noexcept { return FStatistics; }
  const std::optional<TTransferSummary>& LastTransfer() const noexcept { return FLastTransfer; }
  bool CancelEnabled() const noexcept { return FCancelEnabled; }

  TTextField& Field(TClientField Which) noexcept;
  const std::deque<std::u16string>& Log() const noexcept { return FLog; }
  const std::u16string& Received() const noexcept { return FReceived; }
  const std::u16string& Sent() const noexcept { return FSent; }
  bool ConnectionButtonsEnabled() const noexcept { return FConnectionButtonsEnabled; }
  bool SendFileEnabled() const noexcept { return FSendFileEnabled; }
  int GaugeMaxValue() const noexcept { return FGaugeMax; }
  // True while the connection is open.
  bool Connected() const;

  // TClientView
  std::u16string EditText(TClientEdit which) const override;
  void AppendLog(const std::u16string& line) override;
  void AppendReceived(const std::u16string& text) override;
  void AppendSent(const std::u16string& text) override;
  // Takes the path typed into the file field, from the working folder when it
  // is relative; false (nothing sent) when the field is empty. Throws when the
  // path names no regular file, as a file dialog would not accept it.
  bool ExecuteOpenDialog(std::u16string& path) override;
  void SetSendFileEnabled(bool enabled) override;
  void SetConnectionButtonsEnabled(bool enabled) override;
  void SetGaugeProgress(int value) override;
  void SetGaugeMaxValue(int value) override;
  int GaugeProgress() const override { return FGaugeProgress; }
  void SetCaption(const std::u16string& text) override;
  std::u16string Caption() const override { return FCaption; }
  void ProcessEvents() override;
  void ShowError(const std::u16string& text) override;
  void SetCancelEnabled(bool enabled) override;
  void ShowTransferSummary(const TTransferSummary& summary) override;
  // Reads the settings line into settings; false, with the error shown, when it cannot.
  bool ExecuteLinkSettingsDialog(TLinkSettings& settings) override;
  void ShowSettingsInForce(const TLinkSettingsInForce& settings) override;

 private:
  void Run(void (TForm2::*Handler)(TObject*));
  // The statistics block: the link, the packets, the last transfer.
  void DrawStatistics(int Row, int Rows, int Width);
  static void AppendTraffic(std::u16string& view, const std::u16string& text);

  TPageHost& FHost;
  std::deque<std::u16string> FLog;
  std::u16string FReceived;
  std::u16string FSent;
  TTextField FEdit3;
  TTextField FEdit2{Utf8ToUtf16(protocol::kDefaultPort)};
  TTextField FedtContent{u"edtContent"};
  TTextField FFilePath;
  TTextField FLinkSettings;
  std::optional<TLinkSettingsInForce> FInForce;
  size_t FErrorCount = 0;  // errors shown so far
  bool FConnectionButtonsEnabled = true;
  bool FSendFileEnabled = true;
  int FGaugeProgress = 0;
  int FGaugeMax = 100;
  std::u16string FCaption = u"udt客户端";
  bool FCancelEnabled = false;
  TLinkMonitor FStatistics;
  std::optional<TTransferSummary> FLastTransfer;
  std::unique_ptr<TForm2> FForm;
};
