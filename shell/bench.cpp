#include "bench.h"

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_window.h"
#include "container_window.h"
#include "server_window.h"

TfrmCorlan* frmCorlan = nullptr;
TServerWindow* Form1 = nullptr;
TClientWindow* Form2 = nullptr;

namespace {

const char kNoDisplay[] =
    "udtbench needs a display to show its window, and none was found\n"
    "(DISPLAY and WAYLAND_DISPLAY are not set).\n"
    "Run it on a virtual X server, for instance:\n"
    "  xvfb-run -a ./run\n"
    "or without any window at all: QT_QPA_PLATFORM=offscreen ./run\n"
    "The same bench runs in a terminal as udtbench-tui (./run starts it when\n"
    "there is no display).\n";

bool HasDisplay(int argc, char** argv) {
  for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(v);
    if (value && *value) return true;
  }
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0) return true;
  return false;
}

}  // namespace

TBench::TBench() {
  FContainer = std::make_unique<TfrmCorlan>();
  frmCorlan = FContainer.get();
  FServer = std::make_unique<TServerWindow>();
  Form1 = FServer.get();
  FClient = std::make_unique<TClientWindow>();
  Form2 = FClient.get();
  FContainer->SetPages(FServer.get(), FClient.get());
  FContainer->OnClosing = [this] { FClosing.Begin(FClient->Form()); };
}

TBench::~TBench() {
  FClosing.Begin(FClient->Form());
  FClosing.Drain(FServer->Form());
  FClient.reset();
  Form2 = nullptr;
  FServer.reset();
  Form1 = nullptr;
  FContainer.reset();
  frmCorlan = nullptr;
}

void TBench::Show() { FContainer->show(); }

void TBench::Quit() { FContainer->close(); }

int RunBench(int argc, char** argv) {
  if (!HasDisplay(argc, argv)) {
    std::fputs(kNoDisplay, stderr);
    return 2;
  }
  return RunProgram(
      [&argc, argv] {
        auto app = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationDisplayName(QStringLiteral("udtbench"));
        return app;
      },
      [] {
        auto bench = std::make_unique<TBench>();
        bench->Show();
        return bench;
      },
      {SIGINT, SIGTERM});
}
