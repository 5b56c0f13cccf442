#include "terminal_bench.h"

#include <langinfo.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app_support.h"
#include "client_page.h"
#include "server_page.h"
#include "terminal_screen.h"
#include "thread.h"
#include "udt_h.h"

#include "curses_include.h"

namespace {

// How long the end of the program waits for the server's threads to leave UDT.
constexpr auto kThreadBound = std::chrono::milliseconds(1500);

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

// Turns SIGINT, SIGTERM, SIGHUP and SIGWINCH into calls on the main thread.
// A second Ctrl-C while the main thread has not taken the first (it is waiting
// for a peer's reply) restores the terminal and ends the process at once.
class TSignalPipe {
 public:
  TSignalPipe(std::function<void()> OnQuit, std::function<void()> OnResize)
      : FOnQuit(std::move(OnQuit)), FOnResize(std::move(OnResize)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_Pipe) != 0) return;
    FNotifier = std::make_unique<QSocketNotifier>(s_Pipe[1], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
    struct sigaction sa {};
    sa.sa_handler = &TSignalPipe::Handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
  }
  ~TSignalPipe() {
    for (int sig : kSignals) std::signal(sig, SIG_DFL);
    FNotifier.reset();
    for (int& fd : s_Pipe) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }
  TSignalPipe(const TSignalPipe&) = delete;
  TSignalPipe& operator=(const TSignalPipe&) = delete;

  // What a forced end writes to put the terminal back: leave the alternate
  // screen, show the cursor, plain attributes. Called once curses knows the terminal.
  static void PrepareForcedRestore() {
    s_RestoreLength = 0;
    for (const char* cap : {"rmcup", "cnorm", "sgr0"}) {
      const char* s = tigetstr(const_cast<char*>(cap));
      if (!s || s == reinterpret_cast<const char*>(-1)) continue;
      const size_t n = std::strlen(s);
      if (s_RestoreLength + n >= sizeof s_Restore) break;
      std::memcpy(s_Restore + s_RestoreLength, s, n);
      s_RestoreLength += n;
    }
  }
  // The terminal's modes before curses changed them.
  static void SaveTerminalModes() { s_HaveModes = ::tcgetattr(STDIN_FILENO, &s_Modes) == 0; }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH};

  static void Handler(int sig) {
    const int saved = errno;
    if (sig == SIGINT && s_QuitPending.exchange(true)) {
      [[maybe_unused]] auto w = ::write(STDOUT_FILENO, s_Restore, s_RestoreLength);
      if (s_HaveModes) ::tcsetattr(STDIN_FILENO, TCSANOW, &s_Modes);
      ::_exit(130);
    }
    if (sig != SIGWINCH) s_QuitPending = true;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] auto r = ::write(s_Pipe[0], &c, 1);
    errno = saved;
  }

  void Drain() {
    char received[64];
    ssize_t n;
    while ((n = ::recv(s_Pipe[1], received, sizeof received, MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    bool quit = false, resize = false;
    for (ssize_t i = 0; i < n; ++i) (received[i] == SIGWINCH ? resize : quit) = true;
    if (resize && FOnResize) FOnResize();
    if (quit && FOnQuit) FOnQuit();
  }

  static inline int s_Pipe[2] = {-1, -1};
  static inline std::atomic<bool> s_QuitPending{false};
  static inline char s_Restore[256];
  static inline size_t s_RestoreLength = 0;
  static inline termios s_Modes{};
  static inline bool s_HaveModes = false;
  std::function<void()> FOnQuit;
  std::function<void()> FOnResize;
  std::unique_ptr<QSocketNotifier> FNotifier;
};

}  // namespace

TTerminalBench::TTerminalBench() {
  FScreen = std::make_unique<TTerminalScreen>();
  TSignalPipe::PrepareForcedRestore();
  FServer = std::make_unique<TServerPage>(*FScreen);
  FClient = std::make_unique<TClientPage>(*FScreen);
  FScreen->OnQuit = [this] { Quit(); };
  FScreen->Dock(FServer.get(), FClient.get());
  // The buttons follow a server that closes itself on another thread.
  FIdle.setInterval(kIdleIntervalMs);
  QObject::connect(&FIdle, &QTimer::timeout, [this] { FServer->Idle(); });
  FIdle.start();
  FStatistics.setInterval(static_cast<int>(TLinkMonitor::kInterval.count()));
  QObject::connect(&FStatistics, &QTimer::timeout, [this] { FClient->TickStatistics(); });
  FStatistics.start();
}

TTerminalBench::~TTerminalBench() {
  FIdle.stop();
  FStatistics.stop();
  Closing();
  // Nothing is drawn any more: the operator gets the terminal back at once.
  FScreen->Release();
  // What the client handed over before closing may still be on its way into a
  // conversation of our own server: let it land, within a bound.
  if (FClientWasConnected) {
    while (FServer->Form().ConversationCount() > 0 && FSinceClosing.elapsed() < kDrainUntilMs)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  FClient.reset();
  FServer.reset();
  FScreen.reset();
}

void TTerminalBench::Quit() {
  Closing();
  QCoreApplication::exit(0);
}

void TTerminalBench::Closing() {
  if (FClosed) return;
  FClosed = true;
  FSinceClosing.start();
  FClientWasConnected = FClient->Form().udtClient1->Connected();
  FClient->Form().Shutdown();
}

int RunTerminalBench(int argc, char** argv) {
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
    std::fputs(kNoTerminal, stderr);
    return 2;
  }
  // The screen owns the terminal: debug lines and Qt's messages go to standard
  // error only when it leads elsewhere (udtbench-tui 2>debug.log).
  const bool quietErrors = ::isatty(STDERR_FILENO);
  if (quietErrors) {
    SetDebugOutputSink([](const std::u16string&) {});
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  }
  TUDTSocketServices services;
  int rc = 0;
  {
    QCoreApplication app(argc, argv);
    UseUtf8Characters();
    InstallMainThreadSynchronize();
    TSignalPipe::SaveTerminalModes();
    std::unique_ptr<TTerminalBench> bench;
    TSignalPipe signalPipe([&bench] { if (bench) bench->Quit(); },
                        [&bench] { if (bench) bench->Screen().Resize(); });
    try {
      bench = std::make_unique<TTerminalBench>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "udtbench-tui: %s\n", e.what());
      return 2;
    }
    rc = app.exec();
    bench.reset();
    // The transport may be cleaned up only once no thread is inside UDT any more;
    // one that does not leave in time is not waited for.
    if (!TThread::WaitForAllThreads(kThreadBound)) {
      std::fflush(nullptr);
      std::_Exit(rc);
    }
  }
  return rc;
}
