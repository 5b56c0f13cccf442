// TfrmCorlan: the container window "测试", whose page control hosts the server
// and client windows as pages titled by their captions.
#pragma once

#include <QWidget>
#include <functional>

class QTabWidget;

// The main window: one page control filling it. Main thread only.
class TfrmCorlan : public QWidget {
  Q_OBJECT

 public:
  explicit TfrmCorlan(QWidget* parent = nullptr);

  // The page control; its pages are the docked windows.
  QTabWidget* PageControl1() const noexcept { return FPageControl1; }
  // The windows to dock as pages, the server page first; before the first show.
  void SetPages(QWidget* Server, QWidget* Client);
  // Docks the server page and then the client page, the server page in front;
  // runs on the first show.
  void FormShow();
  // Runs when the operator closes the window, before it goes (the program then ends).
  std::function<void()> OnClosing;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Appends window as a page whose title follows its caption.
  void Dock(QWidget* window);

  QTabWidget* FPageControl1;
  QWidget* FServerPage = nullptr;
  QWidget* FClientPage = nullptr;
  bool FShown = false;
};
