// TServerWindow: the Qt window of the server page, "udt服务端".
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app_support.h"
#include "server_form.h"
#include "server_view.h"

class QAction;
class TBatchedText;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TTransferTable;

// The server window: the log Memo1, the edits edtIP and edtPort, the buttons
// btnOpen, btnClose and the hidden Button1, over the logic of TForm1. Creating
// it starts the server listening. Main thread only.
class TServerWindow : public QWidget, public IServerView {
  Q_OBJECT

 public:
  // Shows a failure that left a handler to the operator.
  using TErrorDisplay = std::function<void(const std::u16string& Text)>;
  // The log keeps its last this many lines.
  static constexpr int kLogLines = kMaxLogLines;

  // Builds the window, hidden, and runs FormCreate: the server listens at once on
  // every local IPv4 address (or LocalHost, when given), port LocalPort (its
  // stored setting, the default port), with the link settings Link.
  explicit TServerWindow(QWidget* Parent = nullptr, const TSocketPort& LocalPort = protocol::kDefaultPort,
                         const TSocketHost& LocalHost = protocol::kListenHost,
                         const TLinkSettings& Link = {});
  // Shuts the server and its conversations down before the controls go.
  ~TServerWindow() override;

  // The window's logic: the handlers, UdtServer1, Shutdown.
  TForm1& Form() noexcept { return *FForm; }
  // Replaces the message box that shows a failure leaving a handler; an empty
  // function restores it.
  void SetErrorDisplay(TErrorDisplay Display);

  QPlainTextEdit* Memo1() const noexcept { return FMemo1; }
  QLineEdit* edtIP() const noexcept { return FedtIP; }
  QLineEdit* edtPort() const noexcept { return FedtPort; }
  QPushButton* btnOpen() const noexcept { return FbtnOpen; }
  QPushButton* btnClose() const noexcept { return FbtnClose; }
  QPushButton* Button1() const noexcept { return FButton1; }
  QAction* actOpen() const noexcept { return FactOpen; }
  QAction* actClose() const noexcept { return FactClose; }

  // IServerView
  std::u16string EditText(TServerEdit Which) const override;
  void SetButtonEnabled(TServerButton Which, bool Enabled) override;
  void AppendLog(const std::u16string& Line) override;
  void ClearLog() override;
  void ShowOtherWindows() override;
  void AddTransfer(const TTransferSummary& Summary) override;

  // The table of received files, below the edits.
  TTransferTable* TransferTable() const noexcept { return FTransfers; }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  // Runs a handler of the window; a failure is shown, never fatal. The buttons
  // are brought up to date afterwards.
  void Run(const std::function<void()>& Handler);
  void ShowError(const std::u16string& Text);

  QPlainTextEdit* FMemo1;
  TBatchedText* FLog;  // the lines on their way into FMemo1
  QLineEdit* FedtIP;
  QLineEdit* FedtPort;
  QPushButton* FbtnOpen;
  QPushButton* FbtnClose;
  QPushButton* FButton1;
  QAction* FactOpen;
  QAction* FactClose;
  TTransferTable* FTransfers = nullptr;
  TErrorDisplay FErrorDisplay;
  std::unique_ptr<TForm1> FForm;
};
