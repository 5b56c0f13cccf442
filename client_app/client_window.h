// TClientWindow: the Qt window of the client page; it shows the controls of the
// client window and runs their handlers in its TForm2.
#pragma once

#include <QWidget>
#include <memory>

#include "client_form.h"
#include "client_view.h"

class QFileDialog;
class TBatchedText;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class TStatisticsPanel;

// The user's time and decimal separators, from the system locale.
TFormatSettings SystemFormatSettings();

// The client window: caption "udt客户端", controls named after their roles
// (Memo1, Edit3, Button1, Gauge1, OpenDialog1...), laid out to follow the
// window's size, with the statistics panel below them. Main thread only.
class TClientWindow : public QWidget, public TClientView {
  Q_OBJECT

 public:
  explicit TClientWindow(QWidget* parent = nullptr);
  // Closes the connection first, while the views can still take its last lines.
  ~TClientWindow() override;

  // The logic behind the window.
  TForm2& Form() noexcept { return *FForm; }

  // Traffic views break their display into lines of at most this many code
  // units, so appending lays out little text however much they hold.
  static constexpr int kTrafficLineLength = 128;

  std::u16string EditText(TClientEdit which) const override;
  void AppendLog(const std::u16string& line) override;
  void AppendReceived(const std::u16string& text) override;
  void AppendSent(const std::u16string& text) override;
  bool ExecuteOpenDialog(std::u16string& path) override;
  void SetSendFileEnabled(bool enabled) override;
  void SetConnectionButtonsEnabled(bool enabled) override;
  void SetGaugeProgress(int value) override;
  void SetGaugeMaxValue(int value) override;
  int GaugeProgress() const override;
  void SetCaption(const std::u16string& text) override;
  std::u16string Caption() const override;
  void ProcessEvents() override;
  void ShowError(const std::u16string& text) override;
  void SetCancelEnabled(bool enabled) override;
  void ShowTransferSummary(const TTransferSummary& summary) override;
  bool ExecuteLinkSettingsDialog(TLinkSettings& settings) override;
  void ShowNextLinkSettings(const TLinkSettings& settings) override;
  void ShowSettingsInForce(const TLinkSettingsInForce& settings) override;

  // The statistics panel below the controls.
  TStatisticsPanel* StatisticsPanel() const noexcept { return FStatistics; }

 private:
  // Runs a handler of the form; a failure leaving it goes to the error display.
  void Run(void (TForm2::*handler)(TObject*));

  QPlainTextEdit* Memo1;
  QPlainTextEdit* Memo2;
  QPlainTextEdit* Memo3;
  // What is on its way into Memo1, Memo2 and Memo3.
  TBatchedText* FLog;
  TBatchedText* FReceived;
  TBatchedText* FSent;
  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* Edit3;
  QLineEdit* Edit2;
  QPushButton* Button1;
  QPushButton* Button4;
  QLineEdit* edtContent;
  QPushButton* Button2;
  QProgressBar* Gauge1;
  QPushButton* btnSendFile;
  QPushButton* btnLinkSettings;
  // The file-open dialog while it runs, nullptr otherwise.
  QFileDialog* OpenDialog1 = nullptr;
  // Where the dialog was last, so the next one opens there.
  QString FDialogFolder;
  TStatisticsPanel* FStatistics = nullptr;
  std::unique_ptr<TForm2> FForm;
};
