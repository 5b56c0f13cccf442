#include "program_lifetime.h"

#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app_support.h"
#include "client_form.h"
#include "server_form.h"
#include "thread.h"
#include "udt_h.h"

namespace {

// Shared with the signal handler, which may touch nothing else.
int g_Pipe[2] = {-1, -1};
std::atomic<bool> g_QuitPending{false};
std::atomic<bool> g_ForcedEnd{false};
char g_Restore[256];
size_t g_RestoreLength = 0;
termios g_Modes{};
bool g_HaveModes = false;

// Ends the process while some thread is still inside UDT, which UDT4's
// clean-up must not meet; the lines on their way to the debug output go first.
[[noreturn]] void EndWithThreadsInside(int rc) {
  FlushDebugOutput();
  std::fflush(nullptr);
  std::_Exit(rc);
}

}  // namespace

void TPagesClosing::Begin(TForm2& Client) {
  if (FBegun) return;
  FBegun = true;
  FSinceBegin.start();
  FClientWasConnected = Client.udtClient1->Connected();
  Client.Shutdown();
}

void TPagesClosing::Drain(const TForm1& Server) {
  if (!FBegun || !FClientWasConnected) return;
  DrainConversations(Server, FSinceBegin);
}

void TPagesClosing::DrainConversations(const TForm1& Server, const QElapsedTimer& Since) {
  while (Server.ReceivingCount() > 0 && Since.elapsed() < kDrainUntilMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

TSignalPipe::TSignalPipe(std::vector<int> Signals, std::function<void(int)> OnSignal)
    : FSignals(std::move(Signals)), FOnSignal(std::move(OnSignal)) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_Pipe) != 0) return;
  FNotifier = std::make_unique<QSocketNotifier>(g_Pipe[1], QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
  struct sigaction sa {};
  sa.sa_handler = &TSignalPipe::Handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : FSignals) ::sigaction(sig, &sa, nullptr);
}

TSignalPipe::~TSignalPipe() {
  for (int sig : FSignals) std::signal(sig, SIG_DFL);
  FNotifier.reset();
  for (int& fd : g_Pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void TSignalPipe::SaveTerminalModes() { g_HaveModes = ::tcgetattr(STDIN_FILENO, &g_Modes) == 0; }

void TSignalPipe::SetForcedEnd(std::string_view Restore) {
  g_RestoreLength = std::min(Restore.size(), sizeof g_Restore);
  std::memcpy(g_Restore, Restore.data(), g_RestoreLength);
  g_ForcedEnd = true;
}

void TSignalPipe::Handler(int Signal) {
  const int saved = errno;
  if (Signal == SIGINT && g_QuitPending.exchange(true) && g_ForcedEnd) {
    [[maybe_unused]] auto w = ::write(STDOUT_FILENO, g_Restore, g_RestoreLength);
    if (g_HaveModes) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_Modes);
    ::_exit(130);
  }
  if (Signal != SIGWINCH) g_QuitPending = true;
  const char c = static_cast<char>(Signal);
  [[maybe_unused]] auto r = ::write(g_Pipe[0], &c, 1);
  errno = saved;
}

void TSignalPipe::Drain() {
  char received[64];
  ssize_t n;
  while ((n = ::recv(g_Pipe[1], received, sizeof received, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (n <= 0 || !FOnSignal) return;
  for (int sig : FSignals)
    if (std::find(received, received + n, static_cast<char>(sig)) != received + n) FOnSignal(sig);
}

int RunProgram(const std::function<std::unique_ptr<QCoreApplication>()>& MakeApplication,
               const std::function<std::unique_ptr<TFrontEnd>()>& Create,
               std::vector<int> Signals) {
  TUDTSocketServices services;
  int rc = 0;
  {
    std::unique_ptr<QCoreApplication> app = MakeApplication();
    InstallMainThreadSynchronize();
    std::unique_ptr<TFrontEnd> frontEnd;
    TSignalPipe signalPipe(std::move(Signals), [&frontEnd](int sig) {
      if (!frontEnd) return;
      if (sig == SIGWINCH)
        frontEnd->Resize();
      else
        frontEnd->Quit();
    });
    try {
      frontEnd = Create();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), e.what());
      return 2;
    }
    rc = QCoreApplication::exec();
    // The program ends once no thread is inside UDT any more; one that does not
    // leave in time is not waited for.
    if (!frontEnd->End(kConversationsBound)) EndWithThreadsInside(rc);
    frontEnd.reset();
    if (!TThread::WaitForAllThreads(kThreadBound)) EndWithThreadsInside(rc);
  }
  FlushDebugOutput();
  services.EndProcess(rc);
}
