// TBench: the program's three windows, created and destroyed in their order,
// and RunBench, the whole program.
#pragma once

#include <memory>

#include "bench_options.h"
#include "program_lifetime.h"

class TClientWindow;
class TServerWindow;
class TfrmCorlan;

// The program's windows, set as each is created and cleared as it goes.
extern TfrmCorlan* frmCorlan;
extern TServerWindow* Form1;
extern TClientWindow* Form2;

// The running bench. Main thread only; the application object must exist.
class TBench : public TFrontEnd {
 public:
  // Creates frmCorlan, Form1 (whose server listens at once, where Options say)
  // and Form2, in that order, and gives the container its two pages.
  explicit TBench(const TBenchOptions& Options = {});
  // Closes the client connection, then destroys Form2, Form1 and frmCorlan, in
  // that order, which ends the server and its conversations.
  ~TBench() override;

  // Shows the container; its first show docks the server page, then the client page.
  void Show();
  // Closes the container, as the operator does.
  void Quit() override;
  // Closes the client connection, then the server and its conversations.
  bool End(std::chrono::milliseconds Bound) override;
  TfrmCorlan& Container() const noexcept { return *FContainer; }
  TServerWindow& ServerWindow() const noexcept { return *FServer; }
  TClientWindow& ClientWindow() const noexcept { return *FClient; }

 private:
  std::unique_ptr<TfrmCorlan> FContainer;
  std::unique_ptr<TServerWindow> FServer;
  std::unique_ptr<TClientWindow> FClient;
  TPagesClosing FClosing;
};

// The program: starts the transport and the toolkit, runs the bench until its
// window is closed (or SIGINT/SIGTERM closes it), and shuts everything down.
// It reads --listen, --folder, --help and --version first; a bad option, or a
// server that cannot listen where --listen asks, ends it with 2 before any
// window shows. Without a display it says how to get one and returns 2.
int RunBench(int argc, char** argv);
