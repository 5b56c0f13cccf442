#include "bench.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_support.h"
#include "client_window.h"
#include "container_window.h"
#include "server_window.h"
#include "thread.h"
#include "udt_h.h"

namespace {

// How long the end of the program waits for the server's threads to leave UDT.
constexpr auto kThreadBound = std::chrono::milliseconds(1500);

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

// Turns SIGINT and SIGTERM into a close of the main window, so the program ends
// the way it does when the operator closes it.
class TCloseOnSignal {
 public:
  TCloseOnSignal() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_Pipe) != 0) return;
    FNotifier = std::make_unique<QSocketNotifier>(s_Pipe[1], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [] {
      char c;
      while (::read(s_Pipe[1], &c, 1) < 0 && errno == EINTR) {
      }
      if (frmCorlan) frmCorlan->close();
    });
    struct sigaction sa {};
    sa.sa_handler = [](int) {
      const char c = 1;
      [[maybe_unused]] auto r = ::write(s_Pipe[0], &c, 1);
    };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
  }
  ~TCloseOnSignal() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    FNotifier.reset();
    if (s_Pipe[0] >= 0) ::close(s_Pipe[0]);
    if (s_Pipe[1] >= 0) ::close(s_Pipe[1]);
    s_Pipe[0] = s_Pipe[1] = -1;
  }
  TCloseOnSignal(const TCloseOnSignal&) = delete;
  TCloseOnSignal& operator=(const TCloseOnSignal&) = delete;

 private:
  static inline int s_Pipe[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> FNotifier;
};

}  // namespace

TBench::TBench(const TBenchOptions& Options) {
  FContainer = std::make_unique<TfrmCorlan>();
  frmCorlan = FContainer.get();
  if (Options.Listen) {
    FServer = std::make_unique<TServerWindow>(nullptr, std::to_string(Options.Listen->Port),
                                              Options.Listen->Host);
    // The edits say where the server listens, so 打开 opens it there again.
    FServer->edtPort()->setText(QString::number(Options.Listen->Port));
    if (!Options.Listen->Host.empty())
      FServer->edtIP()->setText(QString::fromStdString(Options.Listen->Host));
  } else {
    FServer = std::make_unique<TServerWindow>();
  }
  if (Options.Folder) FServer->Form().SetReceiveFolder(*Options.Folder);
  Form1 = FServer.get();
  FClient = std::make_unique<TClientWindow>();
  Form2 = FClient.get();
  FContainer->OnClosing = [this] { Closing(); };
}

TBench::~TBench() {
  Closing();
  // What the client handed over before closing may still be on its way into a
  // conversation of our own server: let it land, within a bound.
  if (FClientWasConnected) {
    while (FServer->Form().ConversationCount() > 0 && FSinceClosing.elapsed() < kDrainUntilMs)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  FClient.reset();
  Form2 = nullptr;
  FServer.reset();
  Form1 = nullptr;
  FContainer.reset();
  frmCorlan = nullptr;
}

void TBench::Show() { FContainer->show(); }

void TBench::Closing() {
  if (FClosed) return;
  FClosed = true;
  FSinceClosing.start();
  FClientWasConnected = FClient->Form().udtClient1->Connected();
  FClient->Form().Shutdown();
}

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
  TUDTSocketServices services;
  int rc = 0;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("udtbench"));
    InstallMainThreadSynchronize();
    TCloseOnSignal closeOnSignal;
    {
      TBench bench(options);
      if (options.Listen && !bench.ServerWindow().Form().UdtServer1()->Listening()) {
        PrintError("cannot listen on " + options.Listen->Text());
        rc = ecUsage;
      } else {
        bench.Show();
        rc = app.exec();
      }
    }
    // The transport may be cleaned up only once no thread is inside UDT any more;
    // one that does not leave in time is not waited for.
    if (!TThread::WaitForAllThreads(kThreadBound)) {
      std::fflush(nullptr);
      std::_Exit(rc);
    }
  }
  return rc;
}
