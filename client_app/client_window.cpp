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
#include <QKeyEvent>
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

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, QRect place) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(name);
  button->setGeometry(place);
  return button;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const QString& text, QRect place) {
  auto* edit = new QLineEdit(text, parent);
  edit->setObjectName(name);
  edit->setGeometry(place);
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
  resize(kClientWidth, kStatisticsTop + TStatisticsPanel::kHeight + 8);

  Memo1 = NewMemo(this, "Memo1");
  Memo2 = NewMemo(this, "Memo2");
  Memo3 = NewMemo(this, "Memo3");
  Memo1->setGeometry(0, 0, kClientWidth, 185);
  Memo2->setGeometry(0, 191, 337, 130);
  Memo3->setGeometry(343, 191, 352, 130);
  Memo2->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo3->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  FLog = new TBatchedText(Memo1, TBatchedText::TMode::Lines);
  FReceived = new TBatchedText(Memo2, TBatchedText::TMode::Stream, kTrafficLineLength);
  FSent = new TBatchedText(Memo3, TBatchedText::TMode::Stream, kTrafficLineLength);

  Label1 = new QLabel(QStringLiteral("对方IP"), this);
  Label1->setObjectName("Label1");
  Label1->move(8, 327);
  Label2 = new QLabel(QStringLiteral("对方端口"), this);
  Label2->setObjectName("Label2");
  Label2->move(135, 327);

  Edit3 = NewEdit(this, "Edit3", QString::fromLatin1(TForm2::kDefaultRemoteHost),
                  QRect(8, 346, 121, 21));
  Edit2 = NewEdit(this, "Edit2", QString::fromLatin1(protocol::kDefaultPort), QRect(135, 346, 57, 21));
  Button1 = NewButton(this, "Button1", "Open", QRect(198, 344, 75, 25));
  Button4 = NewButton(this, "Button4", "Close", QRect(279, 344, 75, 25));
  edtContent = NewEdit(this, "edtContent", QStringLiteral("edtContent"), QRect(392, 346, 121, 21));
  Button2 = NewButton(this, "Button2", "Send", QRect(519, 344, 75, 25));
  btnLinkSettings = NewButton(this, "btnLinkSettings", "Link settings…", QRect(600, 344, 100, 25));
  btnLinkSettings->setToolTip(QStringLiteral("The UDT settings of the next Open: MSS, buffers, flow "
                                             "window, rate, block size, congestion control."));

  Gauge1 = new QProgressBar(this);
  Gauge1->setObjectName("Gauge1");
  Gauge1->setOrientation(Qt::Horizontal);
  Gauge1->setRange(0, 100);
  Gauge1->setValue(0);
  Gauge1->setGeometry(8, 384, 505, 19);
  btnSendFile = NewButton(this, "btnSendFile", "SendFile", QRect(519, 384, 75, 25));

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName("OpenDialog1");
  OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setWindowTitle(QString());

  FForm = std::make_unique<TForm2>(*this);
  FForm->SetFormatSettings(SystemFormatSettings());

  FStatistics = new TStatisticsPanel(this);
  FStatistics->setGeometry(8, kStatisticsTop, kClientWidth - 16, TStatisticsPanel::kHeight);
  FStatistics->Track(FForm->udtClient1);
  connect(FStatistics, &TStatisticsPanel::cancelRequested, this,
          [this] { Run(&TForm2::btnCancelClick); });

  connect(Button1, &QPushButton::clicked, this, [this] { Run(&TForm2::Button1Click); });
  connect(Button4, &QPushButton::clicked, this, [this] { Run(&TForm2::Button4Click); });
  connect(Button2, &QPushButton::clicked, this, [this] { Run(&TForm2::Button2Click); });
  connect(btnSendFile, &QPushButton::clicked, this, [this] { Run(&TForm2::btnSendFileClick); });
  connect(btnLinkSettings, &QPushButton::clicked, this, [this] { Run(&TForm2::btnLinkSettingsClick); });
}

TClientWindow::~TClientWindow() {
  FStatistics->Track(nullptr);
  FForm.reset();
}

void TClientWindow::Run(void (TForm2::*handler)(TObject*)) {
  RunHandler([this, handler] { (FForm.get()->*handler)(FForm.get()); },
             [this](const std::u16string& text) { ShowError(text); });
}

void TClientWindow::keyPressEvent(QKeyEvent* event) {
  // Esc, which no control of the page takes for itself, reaches the page: Cancel.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    Run(&TForm2::btnCancelClick);
    return;
  }
  QWidget::keyPressEvent(event);
}

void TClientWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The log spans the whole width; the sent view keeps its right margin.
  Memo1->resize(width(), Memo1->height());
  Memo3->resize(std::max(0, width() - Memo3->x() - (kClientWidth - 343 - 352)), Memo3->height());
  if (FStatistics) FStatistics->resize(std::max(0, width() - 16), FStatistics->height());
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
  if (OpenDialog1->exec() != QDialog::Accepted) return false;
  const QStringList files = OpenDialog1->selectedFiles();
  if (files.isEmpty()) return false;
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
