#include "server_window.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QBoxLayout>

#include "app_support.h"
#include "batched_text.h"
#include "transfer_table.h"
#include "exchange_protocol.h"

namespace {

constexpr int kClientWidth = 592;
constexpr int kMemoHeight = 329;
constexpr int kTransfersHeight = 180;

QString ToQString(const std::u16string& s) { return QString::fromStdU16String(s); }

}  // namespace

TServerWindow::TServerWindow(QWidget* Parent, const TSocketPort& LocalPort,
                             const TSocketHost& LocalHost, const TLinkSettings& Link)
    : QWidget(Parent),
      FMemo1(new QPlainTextEdit(this)),
      FedtIP(new QLineEdit(this)),
      FedtPort(new QLineEdit(this)),
      FbtnOpen(new QPushButton(this)),
      FbtnClose(new QPushButton(this)),
      FButton1(new QPushButton(this)),
      FactOpen(new QAction(QStringLiteral(u"打开"), this)),
      FactClose(new QAction(QStringLiteral(u"关闭"), this)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral(u"udt服务端"));
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(11);
  setFont(font);

  FMemo1->setObjectName(QStringLiteral("Memo1"));
  FMemo1->setPlainText(QStringLiteral("Memo1"));
  FMemo1->setMaximumBlockCount(kLogLines);
  FMemo1->viewport()->installEventFilter(this);
  FLog = new TBatchedText(FMemo1, TBatchedText::TMode::Lines);

  FedtIP->setObjectName(QStringLiteral("edtIP"));
  FedtIP->setFixedSize(121, 21);
  FedtIP->setText(QStringLiteral("127.0.0.1"));
  FedtPort->setObjectName(QStringLiteral("edtPort"));
  FedtPort->setFixedSize(50, 21);
  FedtPort->setText(QString::fromLatin1(protocol::kDefaultPort));

  FactOpen->setObjectName(QStringLiteral("actOpen"));
  FactClose->setObjectName(QStringLiteral("actClose"));
  FbtnOpen->setObjectName(QStringLiteral("btnOpen"));
  FbtnOpen->setFixedSize(75, 25);
  FbtnOpen->setText(FactOpen->text());
  FbtnClose->setObjectName(QStringLiteral("btnClose"));
  FbtnClose->setFixedSize(75, 25);
  FbtnClose->setText(FactClose->text());
  FButton1->setObjectName(QStringLiteral("Button1"));
  FButton1->setFixedSize(75, 25);
  FButton1->setText(QStringLiteral(u"客户端"));
  FButton1->setVisible(false);

  FTransfers = new TTransferTable(this);

  // The log and the table of transfers take the room the window gives; the
  // controls keep their sizes in their row between them.
  auto* controls = new QHBoxLayout;
  controls->setSpacing(6);
  controls->addWidget(FedtIP);
  controls->addWidget(FedtPort);
  controls->addSpacing(9);
  controls->addWidget(FbtnOpen);
  controls->addWidget(FbtnClose);
  controls->addSpacing(18);
  controls->addWidget(FButton1);
  controls->addStretch(1);
  auto* page = new QVBoxLayout(this);
  page->setContentsMargins(0, 0, 0, 8);
  page->setSpacing(12);
  page->addWidget(FMemo1, kMemoHeight);
  page->addLayout(controls);
  page->addWidget(FTransfers, kTransfersHeight);
  resize(kClientWidth, kMemoHeight + kTransfersHeight + 70);

  // A button bound to an action runs the action's execute handler.
  connect(FbtnOpen, &QPushButton::clicked, FactOpen, &QAction::trigger);
  connect(FbtnClose, &QPushButton::clicked, FactClose, &QAction::trigger);
  connect(FactOpen, &QAction::triggered, this, [this] { Run([this] { FForm->actOpenExecute(); }); });
  connect(FactClose, &QAction::triggered, this,
          [this] { Run([this] { FForm->actCloseExecute(); }); });
  connect(FButton1, &QPushButton::clicked, this, [this] { Run([this] { FForm->Button1Click(); }); });

  FForm = std::make_unique<TForm1>(*this, LocalPort);
  if (!LocalHost.empty()) FForm->UdtServer1()->SetLocalHost(LocalHost);
  FForm->SetLinkSettings(Link);
  Run([this] { FForm->FormCreate(); });
}

TServerWindow::~TServerWindow() {
  FMemo1->viewport()->removeEventFilter(this);
  FForm.reset();
}

void TServerWindow::SetErrorDisplay(TErrorDisplay Display) { FErrorDisplay = std::move(Display); }

void TServerWindow::Run(const std::function<void()>& Handler) {
  auto show = [this](const std::u16string& Text) { ShowError(Text); };
  RunHandler(Handler, show);
  RunHandler([this] { FForm->actCloseUpdate(); }, show);
}

void TServerWindow::ShowError(const std::u16string& Text) {
  if (FErrorDisplay) {
    FErrorDisplay(Text);
    return;
  }
  QMessageBox::critical(this, QApplication::applicationDisplayName(), ToQString(Text));
}

bool TServerWindow::eventFilter(QObject* Watched, QEvent* Event) {
  if (FForm && Watched == FMemo1->viewport() && Event->type() == QEvent::MouseButtonDblClick)
    Run([this] { FForm->Memo1DblClick(); });
  return QWidget::eventFilter(Watched, Event);
}

std::u16string TServerWindow::EditText(TServerEdit Which) const {
  return (Which == TServerEdit::edtIP ? FedtIP : FedtPort)->text().toStdU16String();
}

void TServerWindow::SetButtonEnabled(TServerButton Which, bool Enabled) {
  (Which == TServerButton::btnOpen ? FbtnOpen : FbtnClose)->setEnabled(Enabled);
}

void TServerWindow::AppendLog(const std::u16string& Line) { FLog->Append(ToQString(Line)); }

void TServerWindow::ClearLog() { FLog->Clear(); }

void TServerWindow::ShowOtherWindows() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w == this || !w->isWindow()) continue;
    const Qt::WindowType type = w->windowType();
    if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::Desktop) continue;
    w->show();
  }
}

void TServerWindow::AddTransfer(const TTransferSummary& Summary) { FTransfers->AddTransfer(Summary); }
