#include "terminal_bench.h"

#include <langinfo.h>
#include <unistd.h>

#include <QCoreApplication>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "app_support.h"
#include "client_page.h"
#include "link_statistics.h"
#include "server_page.h"
#include "terminal_screen.h"

#include "curses_include.h"

namespace {

const char kNoTerminal[] =
    "udtbench-tui needs a terminal on its standard input and output.\n"
    "Run it in one (a console, an SSH session, tmux), or run the window program\n"
    "udtbench on a display.\n";

// Makes sure characters are handled as UTF-8: the pages hold Chinese captions.
void UseUtf8Characters() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset && std::strcmp(codeset, "UTF-8") == 0) return;
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C.utf8");
}

// What a forced end writes to put the terminal back: leave the alternate
// screen, show the cursor, plain attributes. Needs curses to know the terminal.
std::string ForcedRestore() {
  std::string restore;
  for (const char* cap : {"rmcup", "cnorm", "sgr0"}) {
    const char* s = tigetstr(const_cast<char*>(cap));
    if (s && s != reinterpret_cast<const char*>(-1)) restore += s;
  }
  return restore;
}

}  // namespace

TTerminalBench::TTerminalBench(const TBenchOptions& Options) {
  FScreen = std::make_unique<TTerminalScreen>();
  TSignalPipe::SetForcedEnd(ForcedRestore());
  if (Options.Listen) {
    FServer = std::make_unique<TServerPage>(*FScreen, std::to_string(Options.Listen->Port),
                                            Options.Listen->Host, Options.Link);
    // The edits say where the server listens, so 打开 opens it there again.
    FServer->Edit(edtPort).SetText(AnsiToUnicode(std::to_string(Options.Listen->Port)));
    if (!Options.Listen->Host.empty()) FServer->Edit(edtIP).SetText(AnsiToUnicode(Options.Listen->Host));
  } else {
    FServer = std::make_unique<TServerPage>(*FScreen, protocol::kDefaultPort, protocol::kListenHost,
                                            Options.Link);
  }
  if (Options.Folder) FServer->Form().SetReceiveFolder(*Options.Folder);
  FClient = std::make_unique<TClientPage>(*FScreen);
  FScreen->OnQuit = [this] { Quit(); };
  FScreen->Dock(FServer.get(), FClient.get());
  // The client's statistics block samples its connection.
  FStatistics.setInterval(static_cast<int>(TLinkMonitor::kInterval.count()));
  QObject::connect(&FStatistics, &QTimer::timeout, [this] { FClient->TickStatistics(); });
  FStatistics.start();
}

TTerminalBench::~TTerminalBench() {
  FStatistics.stop();
  FClosing.Begin(FClient->Form());
  // Nothing is drawn any more: the operator gets the terminal back at once.
  FScreen->Release();
  FClosing.Drain(FServer->Form());
  FClient.reset();
  FServer.reset();
  FScreen.reset();
}

bool TTerminalBench::End(std::chrono::milliseconds Bound) {
  FStatistics.stop();
  FClosing.Begin(FClient->Form());
  FScreen->Release();
  FClosing.Drain(FServer->Form());
  return FServer->Form().Shutdown(Bound);
}

void TTerminalBench::Quit() {
  FClosing.Begin(FClient->Form());
  QCoreApplication::exit(0);
}

void TTerminalBench::Resize() { FScreen->Resize(); }

int RunTerminalBench(int argc, char** argv) {
  TBenchOptions options;
  const TCommandLineOutcome outcome = ReadBenchOptions(
      ArgumentList(argc, argv),
      QStringLiteral("The UDT test bench in a terminal: a server page and a client page."), false,
      options);
  if (outcome.ExitNow) return *outcome.ExitNow;
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
    std::fputs(kNoTerminal, stderr);
    return 2;
  }
  // The screen owns the terminal: debug lines and Qt's messages go to standard
  // error only when it leads elsewhere (udtbench-tui 2>debug.log).
  if (::isatty(STDERR_FILENO)) {
    SetDebugOutputSink([](const std::u16string&) {});
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  }
  return RunProgram([&argc, argv] { return std::make_unique<QCoreApplication>(argc, argv); },
                    [&options] {
                      UseUtf8Characters();
                      TSignalPipe::SaveTerminalModes();
                      auto bench = std::make_unique<TTerminalBench>(options);
                      RequireLinkSettings(bench->ServerPage().Form().UdtServer1()->SettingRefused());
                      RequireListening(options, bench->ServerPage().Form().UdtServer1()->Listening());
                      return bench;
                    },
                    {SIGWINCH, SIGINT, SIGTERM, SIGHUP});
}
