// udtbench-path: an emulated network path between two network namespaces.
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "link_direction.h"
#include "path_addresses.h"
#include "path_namespaces.h"
#include "path_settings.h"

namespace {

constexpr int ecSetup = 1;
constexpr int ecUsage = 2;
// How long a command has to end after the path was told to stop.
constexpr int64_t kCommandBoundNs = 10'000'000'000;

int64_t NowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void PrintError(const std::string& Text) { std::fprintf(stderr, "udtbench-path: %s\n", Text.c_str()); }

std::string SettingsJson(const TDirectionSettings& d) {
  char text[200];
  std::snprintf(text, sizeof text,
                "{\"delay_ms\":%.3f,\"rate_mbit\":%.3f,\"loss\":%.6f,\"queue_bytes\":%lld}",
                static_cast<double>(d.DelayNs) / 1e6, d.RateBitsPerS / 1e6, d.Loss,
                static_cast<long long>(d.QueueBytes));
  return text;
}

// Counters of a direction, with what the kernel dropped at its two devices.
std::string CountersJson(const TDirectionCounters& c, int64_t EntryDrops, int64_t ExitDrops,
                         int64_t ExitRcvbuf) {
  const double queued = c.Queued > 0 ? static_cast<double>(c.Queued) : 1;
  char text[768];
  std::snprintf(
      text, sizeof text,
      "{\"packets_in\":%lld,\"bytes_in\":%lld,\"packets_out\":%lld,\"bytes_out\":%lld,"
      "\"random_drops\":%lld,\"queue_drops\":%lld,\"write_drops\":%lld,\"queued\":%lld,"
      "\"max_queue_bytes\":%lld,\"mean_queue_ms\":%.4f,\"queue_wait_ns\":%lld,"
      "\"serialization_ns\":%lld,\"max_late_us\":%.1f,\"late_writes\":%lld,\"udt_data_in\":%lld,\"udt_data_drops\":%lld,"
      "\"entry_device_drops\":%lld,\"exit_device_drops\":%lld,\"exit_udp_rcvbuf_errors\":%lld}",
      static_cast<long long>(c.PacketsIn), static_cast<long long>(c.BytesIn),
      static_cast<long long>(c.PacketsOut), static_cast<long long>(c.BytesOut),
      static_cast<long long>(c.RandomDrops), static_cast<long long>(c.QueueDrops),
      static_cast<long long>(c.WriteDrops), static_cast<long long>(c.Queued),
      static_cast<long long>(c.MaxQueueBytes), static_cast<double>(c.QueueWaitNs) / queued / 1e6,
      static_cast<long long>(c.QueueWaitNs), static_cast<long long>(c.SerializationNs),
      static_cast<double>(c.MaxLateNs) / 1e3, static_cast<long long>(c.LateWrites),
      static_cast<long long>(c.UdtDataIn),
      static_cast<long long>(c.UdtDataDrops), static_cast<long long>(EntryDrops),
      static_cast<long long>(ExitDrops), static_cast<long long>(ExitRcvbuf));
  return text;
}

// Starts the command in this namespace; it ends when the path's process dies.
pid_t StartCommand(const TPathSettings& Settings, const TPathNamespaces& Path) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_UNBLOCK, &all, nullptr);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(128 + SIGTERM);
  ::setenv("UDTBENCH_PATH_A", Path.NameA().c_str(), 1);
  ::setenv("UDTBENCH_PATH_B", Path.NameB().c_str(), 1);
  ::setenv("UDTBENCH_PATH_A_ADDR", kAddressA, 1);
  ::setenv("UDTBENCH_PATH_B_ADDR", kAddressB, 1);
  std::vector<char*> argv;
  for (const std::string& a : Settings.Command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  std::fprintf(stderr, "udtbench-path: cannot run %s: %s\n", argv[0], std::strerror(errno));
  ::_exit(127);
}

// Forwards packets both ways until a signal or the command's end; the exit code.
int Forward(const TPathSettings& Settings, TPathNamespaces& Path, int Signals, FILE* Stats) {
  TLinkDirection ab(Settings.AB, Settings.Seed * 2 + 1);
  TLinkDirection ba(Settings.BA, Settings.Seed * 2 + 2);
  std::fprintf(Stats,
               "{\"event\":\"ready\",\"a\":{\"netns\":\"%s\",\"address\":\"%s\",\"device\":\"%s\"},"
               "\"b\":{\"netns\":\"%s\",\"address\":\"%s\",\"device\":\"%s\"},\"ab\":%s,\"ba\":%s,"
               "\"seed\":%llu}\n",
               Path.NameA().c_str(), kAddressA, kTunDevice, Path.NameB().c_str(), kAddressB,
               kTunDevice, SettingsJson(Settings.AB).c_str(), SettingsJson(Settings.BA).c_str(),
               static_cast<unsigned long long>(Settings.Seed));
  std::fflush(Stats);
  const int64_t start = NowNs();
  auto report = [&](const char* Event) {
    const TPathNamespaces::TDeviceDrops kernel = Path.DeviceDrops();
    std::fprintf(Stats, "{\"event\":\"%s\",\"t\":%.3f,\"ab\":%s,\"ba\":%s}\n", Event,
                 static_cast<double>(NowNs() - start) / 1e9,
                 CountersJson(ab.Counters(), kernel.TxA, kernel.RxB, kernel.UdpRcvbufB).c_str(),
                 CountersJson(ba.Counters(), kernel.TxB, kernel.RxA, kernel.UdpRcvbufA).c_str());
    std::fflush(Stats);
  };

  pid_t command = Settings.Command.empty() ? -1 : StartCommand(Settings, Path);
  if (!Settings.Command.empty() && command < 0) {
    PrintError(std::string("cannot start the command: ") + std::strerror(errno));
    return ecSetup;
  }
  int exitCode = 0;
  int64_t stopBy = -1;  // once asked to stop: when the command must have ended
  int64_t nextStats = start + Settings.StatsIntervalNs;
  std::vector<uint8_t> buffer(65536);
  pollfd fds[3] = {{Path.TunA(), POLLIN, 0}, {Path.TunB(), POLLIN, 0}, {Signals, POLLIN, 0}};
  TLinkDirection* entering[2] = {&ab, &ba};

  for (;;) {
    int64_t now = NowNs();
    const int64_t due = std::min(ab.Deliver(Path.TunB(), now), ba.Deliver(Path.TunA(), now));
    if (now >= nextStats) {
      report("stats");
      while (nextStats <= now) nextStats += Settings.StatsIntervalNs;
    }
    if (stopBy >= 0 && command > 0 && now >= stopBy) ::kill(command, SIGKILL);
    if (stopBy >= 0 && command <= 0) break;

    const int64_t wake = std::min(due, nextStats);
    const int64_t wait = std::max<int64_t>(0, wake - NowNs());
    timespec timeout{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
    if (::ppoll(fds, 3, &timeout, nullptr) < 0 && errno != EINTR) {
      PrintError(std::string("poll: ") + std::strerror(errno));
      exitCode = ecSetup;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      // Everything waiting now: the kernel drops what overflows the device's queue.
      for (;;) {
        const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        entering[i]->Offer(buffer.data(), static_cast<size_t>(n), NowNs());
      }
    }
    if (fds[2].revents & POLLIN) {
      signalfd_siginfo info;
      while (::read(Signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD) continue;
        if (stopBy < 0) stopBy = NowNs() + kCommandBoundNs;
        // A Ctrl-C at the terminal reached the command already, in the same process group.
        const bool fromTerminal = info.ssi_code == SI_KERNEL;
        if (command > 0 && !fromTerminal) ::kill(command, static_cast<int>(info.ssi_signo));
      }
    }
    if (command > 0) {
      int status = 0;
      if (::waitpid(command, &status, WNOHANG) == command) {
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        command = -1;
        if (stopBy < 0) stopBy = NowNs();
      }
    }
  }
  report("end");
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<TPathSettings> read =
      ReadPathSettings(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!read) {
    PrintError(error + " (see --help)");
    return ecUsage;
  }
  TPathSettings settings = *read;
  if (settings.Help) {
    std::fputs(PathHelp().c_str(), stdout);
    return 0;
  }
  if (settings.Version) {
    std::puts("udtbench-path " UDTBENCH_VERSION);
    return 0;
  }
  for (TDirectionSettings* d : {&settings.AB, &settings.BA})
    if (d->QueueBytes < 0) d->QueueBytes = DefaultQueueBytes(*d);

  FILE* stats = stdout;
  if (!settings.StatsPath.empty() && !(stats = std::fopen(settings.StatsPath.c_str(), "we"))) {
    PrintError("cannot write " + settings.StatsPath + ": " + std::strerror(errno));
    return ecUsage;
  }
  // The signals that end the path arrive as readable data, so they never cut
  // the loop or the set-up half-way; the command gets them back unblocked.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  // Packets leave at their own times, not at the kernel's convenience nor
  // behind a busy machine's other work; what it starts runs as usual.
  ::prctl(PR_SET_TIMERSLACK, 1UL);
  if (settings.Realtime) {
    sched_param priority{};
    priority.sched_priority = 10;
    if (::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) != 0)
      PrintError(std::string("runs without real-time priority: ") + std::strerror(errno));
  }

  TPathNamespaces path(settings.Name);
  if (!path.Create(error)) {
    PrintError(error);
    return ecSetup;
  }
  const int rc = Forward(settings, path, signalFd, stats);
  path.Remove();
  if (stats != stdout) std::fclose(stats);
  return rc;
}
