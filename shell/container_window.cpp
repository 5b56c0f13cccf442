#include "container_window.h"

#include <QCloseEvent>
#include <QFont>
#include <QRegularExpression>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// A page title is the caption up to its first line break.
QString PageTitle(const QString& caption) {
  qsizetype end = caption.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
  return end < 0 ? caption : caption.left(end);
}

}  // namespace

TfrmCorlan::TfrmCorlan(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("frmCorlan"));
  setWindowTitle(QStringLiteral("测试"));
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(11);
  setFont(font);
  setGeometry(269, 177, 738, 452);

  FPageControl1 = new QTabWidget(this);
  FPageControl1->setObjectName(QStringLiteral("PageControl1"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(FPageControl1);
}

void TfrmCorlan::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (FShown) return;
  FShown = true;
  FormShow();
}

void TfrmCorlan::SetPages(QWidget* Server, QWidget* Client) {
  FServerPage = Server;
  FClientPage = Client;
}

void TfrmCorlan::FormShow() {
  if (FServerPage) Dock(FServerPage);
  if (FClientPage) Dock(FClientPage);
  FPageControl1->setCurrentIndex(0);
}

void TfrmCorlan::Dock(QWidget* window) {
  FPageControl1->addTab(window, PageTitle(window->windowTitle()));
  connect(window, &QWidget::windowTitleChanged, FPageControl1, [this, window](const QString& title) {
    int i = FPageControl1->indexOf(window);
    if (i >= 0) FPageControl1->setTabText(i, PageTitle(title));
  });
}

void TfrmCorlan::closeEvent(QCloseEvent* event) {
  if (OnClosing) OnClosing();
  QWidget::closeEvent(event);
}
