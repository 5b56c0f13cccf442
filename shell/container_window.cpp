#include "container_window.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <QRegularExpression>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// What a window manager's title bar and frame may take above the window.
constexpr int kTitleBarRoom = 32;

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
  // Larger than the two pages' first design, so the statistics panel and the
  // table of transfers are in view from the start; moved up and left where the
  // screen is too small to hold it at its place (its title bar included).
  QRect place(269, 177, 760, 580);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect room = screen->availableGeometry().adjusted(0, kTitleBarRoom, 0, 0);
    place.setSize(place.size().boundedTo(room.size()));
    place.moveRight(std::min(place.right(), room.right()));
    place.moveBottom(std::min(place.bottom(), room.bottom()));
  }
  setGeometry(place);

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
