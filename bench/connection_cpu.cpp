// CPU used by a listening TUDTServer, and the time from a client's connect to
// OnAccept. The server runs in this process; the clients run in a child process
// (this program started again with --client-process), so the CPU figures
// (getrusage of this process: our threads and UDT4's) are the server's alone.
//
//   udtbench_connection_cpu [--seconds S] [--samples N]
//
// Phases, each measured over S seconds (default 10):
//   1. the listener idle;
//   2. ten idle conversations filling the pool, and one connection pending;
//   3. the baseline: the same ten idle conversations held by plain UDT4 threads
//      that each wait in select, with one connection pending on a plain listener.
// Then N connects (default 100), one at a time, each timed to OnAccept.
#include <arpa/inet.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <udt/udt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "udt_h.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSettleBound = std::chrono::seconds(20);

int64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Percent of one core this process used while sleeping for the given time.
double MeasureCpuPercent(double seconds) {
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  return 100.0 * (ProcessCpuSeconds() - cpu0) / wall;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

uint16_t PortOf(UDTSOCKET s) {
  sockaddr_in a;
  int len = sizeof a;
  if (UDT::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == UDT::ERROR) return 0;
  return ntohs(a.sin_port);
}

bool WaitUntil(const std::function<bool()>& pred) {
  const auto deadline = Clock::now() + kSettleBound;
  while (!pred()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---- the client process ----

// Reads commands on stdin and answers one line each on stdout:
//   connect P N   -> "ok K"   (K of N connects to 127.0.0.1:P succeeded; kept open)
//   timed P       -> "t0 NS"  (NS: monotonic time just before the connect; kept open)
//   closeall      -> "ok"
int RunClientProcess() {
  UDT::startup();
  std::vector<UDTSOCKET> socks;
  auto connectOne = [&](uint16_t port) {
    UDTSOCKET s = UDT::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    if (UDT::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == UDT::ERROR) {
      UDT::close(s);
      return false;
    }
    socks.push_back(s);
    return true;
  };
  char line[128];
  while (std::fgets(line, sizeof line, stdin)) {
    unsigned port = 0;
    int n = 0;
    if (std::sscanf(line, "connect %u %d", &port, &n) == 2) {
      int ok = 0;
      for (int i = 0; i < n; ++i) ok += connectOne(static_cast<uint16_t>(port));
      std::printf("ok %d\n", ok);
    } else if (std::sscanf(line, "timed %u", &port) == 1) {
      const int64_t t0 = MonotonicNs();
      const bool ok = connectOne(static_cast<uint16_t>(port));
      std::printf("t0 %lld\n", ok ? static_cast<long long>(t0) : -1LL);
    } else if (std::strncmp(line, "closeall", 8) == 0) {
      for (UDTSOCKET s : socks) UDT::close(s);
      socks.clear();
      std::printf("ok\n");
    } else {
      break;
    }
    std::fflush(stdout);
  }
  for (UDTSOCKET s : socks) UDT::close(s);
  UDT::cleanup();
  return 0;
}

// The parent's end of the client process.
class ClientProcess {
 public:
  bool Start() {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&fa, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&fa, toChild[1]);
    posix_spawn_file_actions_addclose(&fa, fromChild[0]);
    char self[] = "/proc/self/exe";
    char role[] = "--client-process";
    char* argv[] = {self, role, nullptr};
    const int rc = posix_spawn(&FPid, self, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(toChild[0]);
    close(fromChild[1]);
    if (rc != 0) return false;
    FOut = fdopen(toChild[1], "w");
    FIn = fdopen(fromChild[0], "r");
    return FOut && FIn;
  }
  // Sends one command and returns the answer line, empty when the child is gone.
  std::string Ask(const std::string& command) {
    std::fprintf(FOut, "%s\n", command.c_str());
    std::fflush(FOut);
    char line[128];
    if (!std::fgets(line, sizeof line, FIn)) return {};
    return line;
  }
  ~ClientProcess() {
    if (FOut) std::fclose(FOut);
    if (FIn) std::fclose(FIn);
    if (FPid > 0) waitpid(FPid, nullptr, 0);
  }

 private:
  pid_t FPid = -1;
  FILE* FOut = nullptr;
  FILE* FIn = nullptr;
};

int ConnectCount(ClientProcess& clients, uint16_t port, int n) {
  int ok = -1;
  std::sscanf(clients.Ask("connect " + std::to_string(port) + " " + std::to_string(n)).c_str(),
              "ok %d", &ok);
  return ok;
}

// ---- the server side ----

// Conversations that wait for data without a time limit, as the application's
// handler does, and end when their peer goes.
class IdleConversations {
 public:
  TSocketAcceptEvent Handler() {
    return [this](TObject*, TUDTCustomIpClient* c) {
      {
        std::lock_guard<std::mutex> g(FLock);
        FAcceptTimes.push_back(MonotonicNs());
        ++FRunning;
        FChanged.notify_all();
      }
      while (c->WaitForData(-1)) {
        char buf[256];
        if (c->ReceiveBuf(buf, sizeof buf) == -1) break;
      }
      std::lock_guard<std::mutex> g(FLock);
      --FRunning;
      FChanged.notify_all();
    };
  }
  int Running() {
    std::lock_guard<std::mutex> g(FLock);
    return FRunning;
  }
  int Accepted() {
    std::lock_guard<std::mutex> g(FLock);
    return static_cast<int>(FAcceptTimes.size());
  }
  int64_t AcceptTime(int i) {
    std::lock_guard<std::mutex> g(FLock);
    return FAcceptTimes[i];
  }
  bool WaitAccepted(int n) {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, kSettleBound, [&] { return static_cast<int>(FAcceptTimes.size()) >= n; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<int64_t> FAcceptTimes;
  int FRunning = 0;
};

bool AllWorkersParked(TUDTServer& server) {
  for (TUDTClientSocketThread* w : server.ServerSocketThread()->ThreadPool())
    if (!w->Suspended()) return false;
  return true;
}

// Ten plain UDT4 threads, each accepting one connection and waiting in select on it.
class PlainSelectThreads {
 public:
  explicit PlainSelectThreads(int n) {
    FListener = UDT::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(0);
    UDT::bind(FListener, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    UDT::listen(FListener, 5);
    for (int i = 0; i < n; ++i) FThreads.emplace_back([this] { Serve(); });
  }
  ~PlainSelectThreads() {
    UDT::close(FListener);
    for (auto& t : FThreads) t.join();
  }
  uint16_t Port() const { return PortOf(FListener); }
  int Waiting() const { return FWaiting.load(); }

 private:
  void Serve() {
    UDTSOCKET s = UDT::accept(FListener, nullptr, nullptr);
    if (s == UDT::INVALID_SOCK) return;
    ++FWaiting;
    for (;;) {
      UDT::UDSET rs;
      UD_SET(s, &rs);
      if (UDT::select(0, &rs, nullptr, nullptr, nullptr) < 0) break;
      char buf[256];
      if (UDT::recv(s, buf, sizeof buf, 0) == UDT::ERROR) break;
    }
    --FWaiting;
    UDT::close(s);
  }

  UDTSOCKET FListener;
  std::vector<std::thread> FThreads;
  std::atomic<int> FWaiting{0};
};

int Fail(const char* what) {
  std::fprintf(stderr, "udtbench_connection_cpu: %s\n", what);
  return 1;
}

int RunBench(double seconds, int samples) {
  TUDTSocketServices services;
  ClientProcess clients;
  if (!clients.Start()) return Fail("could not start the client process");

  std::printf("connection CPU benchmark: server in this process (pid %d), clients in a child\n",
              static_cast<int>(getpid()));
  std::printf("CPU is this process's user+system time over wall time, in %% of one core\n\n");

  // 1. Idle listener.
  IdleConversations conversations;
  auto server = std::make_unique<TUDTServer>(nullptr);
  server->OnAccept = conversations.Handler();
  server->SetLocalHost("127.0.0.1");
  server->SetLocalPort("0");
  server->Open();
  if (!server->Listening()) return Fail("the server did not listen");
  const uint16_t port = PortOf(server->Handle());
  const double idle = MeasureCpuPercent(seconds);
  std::printf("idle listener                                  %7.3f %%  (target < 1)\n", idle);

  // 2. Pool full with ten idle conversations, one connection pending.
  if (ConnectCount(clients, port, 10) != 10) return Fail("ten connects failed");
  if (!WaitUntil([&] { return conversations.Running() == 10; }))
    return Fail("the ten conversations did not start");
  if (ConnectCount(clients, port, 1) != 1) return Fail("the pending connect failed");
  const double full = MeasureCpuPercent(seconds);
  if (conversations.Accepted() != 10) return Fail("the pending connection was served");
  std::printf("pool full (10 idle conversations) + 1 pending  %7.3f %%\n", full);

  // The pending connection is served once the others end; then all end.
  clients.Ask("closeall");
  if (!WaitUntil([&] { return conversations.Running() == 0 && conversations.Accepted() == 11; }))
    return Fail("the conversations did not end");
  server.reset();

  // 3. Baseline: plain UDT4 threads waiting in select.
  {
    PlainSelectThreads plain(10);
    if (ConnectCount(clients, plain.Port(), 10) != 10) return Fail("baseline connects failed");
    if (!WaitUntil([&] { return plain.Waiting() == 10; }))
      return Fail("the baseline threads did not start waiting");
    if (ConnectCount(clients, plain.Port(), 1) != 1) return Fail("baseline pending connect failed");
    const double base = MeasureCpuPercent(seconds);
    std::printf("baseline: 10 plain UDT4 threads in select      %7.3f %%\n", base);
    std::printf("pool full above its baseline                   %7.3f %%  (target <= 0.5)\n",
                full - base);
    clients.Ask("closeall");
    if (!WaitUntil([&] { return plain.Waiting() == 0; }))
      return Fail("the baseline threads did not end");
  }

  // 4. Connect to OnAccept, one connection at a time, served by a reused worker.
  IdleConversations timed;
  server = std::make_unique<TUDTServer>(nullptr);
  server->OnAccept = timed.Handler();
  server->SetLocalHost("127.0.0.1");
  server->SetLocalPort("0");
  server->Open();
  if (!server->Listening()) return Fail("the timing server did not listen");
  const uint16_t timedPort = PortOf(server->Handle());
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    long long t0 = -1;
    std::sscanf(clients.Ask("timed " + std::to_string(timedPort)).c_str(), "t0 %lld", &t0);
    if (t0 < 0 || !timed.WaitAccepted(i + 1)) return Fail("a timed connect was not accepted");
    ms.push_back((timed.AcceptTime(i) - t0) / 1e6);
    clients.Ask("closeall");
    if (!WaitUntil([&] { return timed.Running() == 0 && AllWorkersParked(*server); }))
      return Fail("the timed conversation did not end");
  }
  std::sort(ms.begin(), ms.end());
  std::printf("connect to OnAccept, median of %d               %7.3f ms  (min %.3f, max %.3f)\n",
              samples, ms[ms.size() / 2], ms.front(), ms.back());
  std::printf("workers created for %d connections one at a time: %zu\n", samples,
              server->ServerSocketThread()->ThreadPool().size());
  server.reset();
  if (!TThread::WaitForAllThreads(std::chrono::seconds(10)))
    return Fail("dispatcher or worker threads were left running");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  int samples = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--client-process") return RunClientProcess();
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--samples" && i + 1 < argc) {
      samples = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--samples N]\n", argv[0]);
      return 2;
    }
  }
  if (seconds <= 0 || samples <= 0) return Fail("--seconds and --samples must be positive");
  return RunBench(seconds, samples);
}
