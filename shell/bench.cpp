#include "bench.h"

#include <QApplication>
#include <QLineEdit>
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

TBench::TBench(const TBenchOptions& Options) {
  FContainer = std::make_unique<TfrmCorlan>();
  frmCorlan = FContainer.get();
  if (Options.Listen) {
    FServer = std::make_unique<TServerWindow>(nullptr, std::to_string(Options.Listen->Port),
                                              Options.Listen->Host, Options.Link);
    // The edits say where the server listens, so 打开 opens it there again.
    FServer->edtPort()->setText(QString::number(Options.Listen->Port));
    if (!Options.Listen->Host.empty())
      FServer->edtIP()->setText(QString::fromStdString(Options.Listen->Host));
  } else {
    FServer = std::make_unique<TServerWindow>(nullptr, protocol::kDefaultPort,
                                              protocol::kListenHost, Options.Link);
  }
  if (Options.Folder) FServer->Form().SetReceiveFolder(*Options.Folder);
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

bool TBench::End(std::chrono::milliseconds Bound) {
  FClosing.Begin(FClient->Form());
  FClosing.Drain(FServer->Form());
  return FServer->Form().Shutdown(Bound);
}

void TBench::Show() { FContainer->show(); }

void TBench::Quit() { FContainer->close(); }

int RunBench(int argc, char** argv) {
  TBenchOptions options;
  const TCommandLineOutcome outcome = ReadBenchOptions(
      ArgumentList(argc, argv),
      QStringLiteral("The UDT test bench: a server page and a client page in one window."),
      true, options);
  if (outcome.ExitNow) return *outcome.ExitNow;
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
      [&options] {
        auto bench = std::make_unique<TBench>(options);
        RequireLinkSettings(bench->ServerWindow().Form().UdtServer1()->SettingRefused());
        RequireListening(options, bench->ServerWindow().Form().UdtServer1()->Listening());
        bench->Show();
        return bench;
      },
      {SIGINT, SIGTERM});
}
