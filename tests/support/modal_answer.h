// Answers the modal dialogs a window opens, the way an operator would, from the
// event loop the dialog runs.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <functional>
#include <string>

namespace test_support {

// Runs answer on the next modal dialog that comes up.
inline void AnswerNextModal(std::function<void(QWidget*)> answer) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, answer] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      answer(w);
    }
  });
  timer->start();
}

// Answers the next file dialog by typing the full path into its name field and
// pressing Open.
inline void ChooseFileInNextDialog(const std::string& path) {
  AnswerNextModal([path](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr) << "the modal window is no file dialog";
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr) << "the file dialog has no name field";
    name->setText(QString::fromStdString(path));
    QMetaObject::invokeMethod(dialog, "accept");
  });
}

}  // namespace test_support
