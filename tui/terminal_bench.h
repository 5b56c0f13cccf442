// TTerminalBench: the bench in a terminal: the screen and the two pages,
// created and destroyed in the window program's order, and RunTerminalBench,
// the whole terminal program.
#pragma once

#include <QTimer>
#include <memory>

#include "bench_options.h"
#include "program_lifetime.h"

class TClientPage;
class TServerPage;
class TTerminalScreen;

// The running terminal bench. Main thread only; the application object must exist.
class TTerminalBench : public TFrontEnd {
 public:
  // Takes over the terminal, then creates the server page (whose server listens
  // at once, where Options say) and the client page, in that order, and shows
  // the server page.
  explicit TTerminalBench(const TBenchOptions& Options = {});
  // Closes the client connection and gives the terminal back, then destroys the
  // client page, the server page and the screen, in that order.
  ~TTerminalBench() override;

  // Ends the program the way the operator's quit does: stops a transfer,
  // closes the client connection and leaves the event loop.
  void Quit() override;
  // Follows the terminal's new size.
  void Resize() override;
  // Closes the client connection and gives the terminal back, then closes the
  // server and its conversations.
  bool End(std::chrono::milliseconds Bound) override;
  TTerminalScreen& Screen() const noexcept { return *FScreen; }
  TServerPage& ServerPage() const noexcept { return *FServer; }
  TClientPage& ClientPage() const noexcept { return *FClient; }

 private:
  std::unique_ptr<TTerminalScreen> FScreen;
  std::unique_ptr<TServerPage> FServer;
  std::unique_ptr<TClientPage> FClient;
  // Samples the client's connection for its statistics block.
  QTimer FStatistics;
  TPagesClosing FClosing;
};

// The terminal program: starts the transport and Qt's event loop, runs the bench
// full-screen until the operator quits (F10, Ctrl-C, SIGTERM or a hang-up), and
// shuts everything down with the terminal restored. It reads --listen,
// --folder, --help and --version first; a bad option, or a server that cannot
// listen where --listen asks, ends it with 2 before the screen is taken.
// Without a terminal it says so and returns 2.
int RunTerminalBench(int argc, char** argv);
