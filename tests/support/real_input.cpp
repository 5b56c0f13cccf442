#include "real_input.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

namespace test_support {
namespace {

void Xdotool(const QStringList& arguments) {
  QProcess p;
  p.start(QStringLiteral("xdotool"), arguments);
  // A short blocking call: the X server queues the events until the event loop takes them.
  if (!p.waitForFinished(10000) || p.exitCode() != 0)
    ADD_FAILURE() << "xdotool " << arguments.join(' ').toStdString() << " failed: "
                  << p.readAllStandardError().toStdString();
}

}  // namespace

bool RealInputAvailable() {
  return QGuiApplication::platformName() == QStringLiteral("xcb") &&
         !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
}

void RealClick(const QWidget* w) {
  ASSERT_NE(w, nullptr);
  RealClick(w->mapToGlobal(w->rect().center()));
}

void RealClick(QPoint global) {
  Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(global.x()),
           QString::number(global.y()), QStringLiteral("click"), QStringLiteral("1")});
}

void RealType(const QString& text) {
  Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("15"), text});
}

void RealKey(const char* key) { Xdotool({QStringLiteral("key"), QString::fromLatin1(key)}); }

}  // namespace test_support
