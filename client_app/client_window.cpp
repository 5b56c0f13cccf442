#include "client_window.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QBoxLayout>
#include <QGridLayout>
#include <QShortcut>
#include <algorithm>

#include "app_support.h"
#include "batched_text.h"
#include "link_settings_dialog.h"
#include "statistics_panel.h"
#include "exchange_protocol.h"

namespace {

constexpr int kClientWidth = 708;
constexpr int kClientHeight = 463;

QString ToQ(const std::u16string& s) { return QString::fromStdU16String(s); }

QPlainTextEdit* NewMemo(QWidget* parent, const char* name) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(name);
  memo->setReadOnly(true);
  memo->setUndoRedoEnabled(false);
  return memo;
}

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(name);
  button->setFixedSize(75, 25);
  return button;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const QString& text, int width) {
  auto* edit = new QLineEdit(text, parent);
  edit->setObjectName(name);
  edit->setFixedSize(width, 21);
  return edit;
}

}  // namespace

TFormatSettings SystemFormatSettings() {
  TFormatSettings fs;
  const QLocale locale = QLocale::system();
  const QString point = locale.decimalPoint();
  if (point.size() == 1) fs.DecimalSeparator = point.at(0).unicode();
  // The separator is the first character after the hours in the locale's time format.
  const QString format = locale.timeFormat(QLocale::LongFormat);
  qsizetype i = format.indexOf(QRegularExpression(QStringLiteral("[hH]")));
  if (i >= 0) {
    while (i < format.size() && (format.at(i) == u'h' || format.at(i) == u'H')) ++i;
    if (i < format.size() && !format.at(i).isLetterOrNumber() && format.at(i) != u'\'')
      fs.TimeSeparator = format.at(i).unicode();
  }
  return fs;
}

TClientWindow::TClientWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("udt客户端"));
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(11);
  setFont(font);

  Memo1 = NewMemo(this, "Memo1");
  Memo2 = NewMemo(this, "Memo2");
  Memo3 = NewMemo(this, "Memo3");
  Memo2->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo3->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  FLog = new TBatchedText(Memo1, TBatchedText::TMode::Lines);
  FReceived = new TBatchedText(Memo2, TBatchedText::TMode::Stream, kTrafficLineLength);
  FSent = new TBatchedText(Memo3, TBatchedText::TMode::Stream, kTrafficLineLength);

  Label1 = new QLabel(QStringLiteral("对方IP"), this);
  Label1->setObjectName("Label1");
  Label2 = new QLabel(QStringLiteral("对方端口"), this);
  Label2->setObjectName("Label2");

  Edit3 = NewEdit(this, "Edit3", QString::fromLatin1(TForm2::kDefaultRemoteHost), 121);
  Edit2 = NewEdit(this, "Edit2", QString::fromLatin1(protocol::kDefaultPort), 57);
  Button1 = NewButton(this, "Button1", "Open");
  Button4 = NewButton(this, "Button4", "Close");
  edtContent = NewEdit(this, "edtContent", QStringLiteral("edtContent"), 121);
  Button2 = NewButton(this, "Button2", "Send");
  btnLinkSettings = NewButton(this, "btnLinkSettings", "Link settings…");
  // Wider than the page's other buttons, for its longer caption.
  btnLinkSettings->setFixedWidth(std::max(75, btnLinkSettings->sizeHint().width()));
  btnLinkSettings->setToolTip(QStringLiteral("The UDT settings of the next Open: MSS, buffers, flow "
                                             "window, rate, block size, congestion control."));

  Gauge1 = new QProgressBar(this);
  Gauge1->setObjectName("Gauge1");
  Gauge1->setOrientation(Qt::Horizontal);
  Gauge1->setRange(0, 100);
  Gauge1->setValue(0);
  Gauge1->setFixedHeight(19);
  btnSendFile = NewButton(this, "btnSendFile", "SendFile");

  FForm = std::make_unique<TForm2>(*this);
  FForm->SetFormatSettings(SystemFormatSettings());

  FStatistics = new TStatisticsPanel(this);
  FStatistics->Track(FForm->udtClient1);
  connect(FStatistics, &TStatisticsPanel::cancelRequested, this,
          [this] { Run(&TForm2::btnCancelClick); });

  // The log and the traffic views take the room the window gives; the controls
  // keep their sizes, in their rows below them.
  auto* traffic = new QHBoxLayout;
  traffic->setSpacing(6);
  traffic->addWidget(Memo2, 337);
  traffic->addWidget(Memo3, 352);
  auto* controls = new QGridLayout;
  controls->setContentsMargins(8, 0, 8, 0);
  controls->setHorizontalSpacing(6);
  controls->setVerticalSpacing(2);
  controls->addWidget(Label1, 0, 0);
  controls->addWidget(Label2, 0, 1);
  controls->addWidget(Edit3, 1, 0);
  controls->addWidget(Edit2, 1, 1);
  controls->addWidget(Button1, 1, 2);
  controls->addWidget(Button4, 1, 3);
  controls->addItem(new QSpacerItem(26, 0, QSizePolicy::Fixed, QSizePolicy::Minimum), 1, 4);
  controls->addWidget(edtContent, 1, 5);
  controls->addWidget(Button2, 1, 6);
  controls->setRowMinimumHeight(2, 10);
  controls->addWidget(Gauge1, 3, 0, 1, 6);
  controls->addWidget(btnSendFile, 3, 6);
  controls->addWidget(btnLinkSettings, 1, 7);
  controls->setColumnStretch(8, 1);
  auto* statistics = new QHBoxLayout;
  statistics->setContentsMargins(8, 0, 8, 0);
  statistics->addWidget(FStatistics);
  auto* page = new QVBoxLayout(this);
  page->setContentsMargins(0, 0, 0, 8);
  page->setSpacing(6);
  page->addWidget(Memo1, 185);
  page->addLayout(traffic, 130);
  page->addLayout(controls);
  page->addLayout(statistics, 236);
  resize(kClientWidth, kClientHeight + TStatisticsPanel::kHeight);

  connect(Button1, &QPushButton::clicked, this, [this] { Run(&TForm2::Button1Click); });
  connect(Button4, &QPushButton::clicked, this, [this] { Run(&TForm2::Button4Click); });
  connect(Button2, &QPushButton::clicked, this, [this] { Run(&TForm2::Button2Click); });
  connect(btnSendFile, &QPushButton::clicked, this, [this] { Run(&TForm2::btnSendFileClick); });
  connect(btnLinkSettings, &QPushButton::clicked, this, [this] { Run(&TForm2::btnLinkSettingsClick); });
  // Esc cancels wherever the focus is while this page is shown; a dialog of its
  // own, being a window of its own, keeps Esc for itself.
  auto* cancel = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  cancel->setContext(Qt::WindowShortcut);
  connect(cancel, &QShortcut::activated, this, [this] { Run(&TForm2::btnCancelClick); });
}

TClientWindow::~TClientWindow() {
  FStatistics->Track(nullptr);
  FForm.reset();
}

void TClientWindow::Run(void (TForm2::*handler)(TObject*)) {
  RunHandler([this, handler] { (FForm.get()->*handler)(FForm.get()); },
             [this](const std::u16string& text) { ShowError(text); });
}

std::u16string TClientWindow::EditText(TClientEdit which) const {
  switch (which) {
    case TClientEdit::Edit3:
      return Edit3->text().toStdU16String();
    case TClientEdit::Edit2:
      return Edit2->text().toStdU16String();
    case TClientEdit::edtContent:
      return edtContent->text().toStdU16String();
  }
  return {};
}

void TClientWindow::AppendLog(const std::u16string& line) { FLog->Append(ToQ(line)); }

void TClientWindow::AppendReceived(const std::u16string& text) { FReceived->Append(ToQ(text)); }

void TClientWindow::AppendSent(const std::u16string& text) { FSent->Append(ToQ(text)); }


bool TClientWindow::ExecuteOpenDialog(std::u16string& path) {
  // A dialog of its own for each choice, gone with everything it opened (the
  // completion list of its file name above all) before the chosen work begins:
  // a popup left on screen would take the next click or key.
  auto dialog = std::make_unique<QFileDialog>(this);
  OpenDialog1 = dialog.get();
  dialog->setObjectName("OpenDialog1");
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setWindowTitle(QString());
  if (!FDialogFolder.isEmpty()) dialog->setDirectory(FDialogFolder);
  const bool accepted = dialog->exec() == QDialog::Accepted;
  const QStringList files = dialog->selectedFiles();
  FDialogFolder = dialog->directory().absolutePath();
  OpenDialog1 = nullptr;
  dialog.reset();
  // The window system takes the dialog's windows away before the work starts.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  if (!accepted || files.isEmpty()) return false;
  path = files.first().toStdU16String();
  return true;
}

void TClientWindow::SetSendFileEnabled(bool enabled) { btnSendFile->setEnabled(enabled); }

void TClientWindow::SetConnectionButtonsEnabled(bool enabled) {
  Button1->setEnabled(enabled);
  Button4->setEnabled(enabled);
  Button2->setEnabled(enabled);
  btnLinkSettings->setEnabled(enabled);
}

void TClientWindow::SetGaugeProgress(int value) {
  Gauge1->setValue(std::clamp(value, Gauge1->minimum(), Gauge1->maximum()));
}

void TClientWindow::SetGaugeMaxValue(int value) {
  // QProgressBar would reset a value outside the new range; the gauge keeps it clamped.
  const int progress = Gauge1->value();
  Gauge1->setMaximum(std::max(value, Gauge1->minimum()));
  Gauge1->setValue(std::clamp(progress, Gauge1->minimum(), Gauge1->maximum()));
}

int TClientWindow::GaugeProgress() const { return Gauge1->value(); }

void TClientWindow::SetCaption(const std::u16string& text) { setWindowTitle(ToQ(text)); }

std::u16string TClientWindow::Caption() const { return windowTitle().toStdU16String(); }

void TClientWindow::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TClientWindow::ShowError(const std::u16string& text) {
  QMessageBox::critical(this, QGuiApplication::applicationDisplayName(), ToQ(text));
}

void TClientWindow::SetCancelEnabled(bool enabled) { FStatistics->SetCancelEnabled(enabled); }

void TClientWindow::ShowTransferSummary(const TTransferSummary& summary) {
  FStatistics->ShowSummary(summary);
}

bool TClientWindow::ExecuteLinkSettingsDialog(TLinkSettings& settings) {
  return TLinkSettingsDialog::Edit(this, settings);
}

void TClientWindow::ShowNextLinkSettings(const TLinkSettings& settings) {
  FStatistics->ShowNextSettings(settings);
}

void TClientWindow::ShowSettingsInForce(const TLinkSettingsInForce& settings) {
  FStatistics->ShowSettingsInForce(settings);
}
