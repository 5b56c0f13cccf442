// The soak: the program itself, under 30 minutes of mixed traffic on port 2048,
// with its resident memory, threads and open files sampled every minute.
//
//   udtbench_soak [--minutes M] [--sample-seconds S] [--program PATH]
//
// The program (udtbench, offscreen) runs as a child process; this process runs
// the peers: text conversations, whole file transfers that are read back and
// compared, and the reliability tests' generated hostile conversations. At the
// end the program is closed with SIGTERM, as the operator's close would, and the
// time it took to end is printed. Files the peers sent are removed afterwards.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <udt/udt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "exchange_protocol.h"
#include "hostile_conversations.h"
#include "hostile_peer.h"
#include "process_probe.h"
#include "bytes.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using reliability_test::THostilePeer;
using reliability_test::WireFrame;
using reliability_test::WireInt32;

constexpr uint16_t kPort = protocol::kDefaultPortNumber;

std::atomic<bool> g_stop{false};
std::atomic<long> g_texts{0}, g_files{0}, g_hostile{0}, g_failures{0};

long ResidentKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

void Fail(const char* what) {
  ++g_failures;
  std::fprintf(stderr, "soak: %s\n", what);
}

std::string ReplyTo(const std::u16string& text) { return WireFrame(protocol::Reply(text)); }

// Conversations of twenty messages each, one after another.
void Texts(int id) {
  std::mt19937 r(id);
  while (!g_stop) {
    THostilePeer p;
    if (!p.Connect(kPort)) {
      Fail(("a text peer could not connect, UDT4 error " + std::to_string(p.ConnectError())).c_str());
      continue;
    }
    for (int i = 0; i < 20 && !g_stop; ++i) {
      std::u16string text = u"soak " + std::u16string(r() % 200, u'a' + i % 26);
      if (!p.Send(WireFrame(text)) || p.Receive(ReplyTo(text).size(), 10000) != ReplyTo(text)) {
        Fail("a text exchange got no reply");
        break;
      }
      ++g_texts;
    }
    p.Close();
  }
}

// Whole files of up to 2 MB, each read back from the program's folder and compared.
void Files(int id, const std::filesystem::path& folder) {
  std::mt19937 r(1000 + id);
  for (long n = 0; !g_stop; ++n) {
    THostilePeer p;
    if (!p.Connect(kPort)) {
      Fail(("a file peer could not connect, UDT4 error " + std::to_string(p.ConnectError())).c_str());
      continue;
    }
    const std::string name = "soak-" + std::to_string(id) + "-" + std::to_string(n % 4) + ".bin";
    std::string data(r() % (2 << 20), '\0');
    for (auto& c : data) c = static_cast<char>(r());
    const std::string bytes = WireFrame(test_support::kFileRequest) + WireInt32(static_cast<int32_t>(data.size())) +
                              WireFrame(std::u16string(name.begin(), name.end())) + data + WireFrame(u"end");
    const std::string replies = ReplyTo(test_support::kFileRequest) + ReplyTo(u"end");
    if (!p.Send(bytes) || p.Receive(replies.size(), 30000) != replies) {
      Fail("a file transfer got no reply");
      continue;
    }
    std::ifstream f(folder / name, std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (stored != data) Fail(("a stored file differs: " + name).c_str());
    else ++g_files;
    p.Close();
  }
}

void Hostile(int first, const std::string& escape) {
  for (int i = first; !g_stop; i += 7) {
    reliability_test::TConversationOutcome o = reliability_test::RunHostileConversation(i, kPort, escape);
    if (!o.Connected || !o.Failure.empty()) Fail(("hostile conversation " + std::to_string(i) + ": " + o.Failure).c_str());
    else ++g_hostile;
  }
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 30;
  int sampleSeconds = 60;
  std::string program = UDTBENCH_EXE;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--minutes")) minutes = std::atof(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--sample-seconds")) sampleSeconds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--program")) program = argv[i + 1];
  }
  const std::filesystem::path folder = std::filesystem::path(program).parent_path();
  const std::string escape = "/tmp/udtbench-soak-escape-" + std::to_string(::getpid());

  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  pid_t pid = 0;
  char* child[] = {program.data(), nullptr};
  // The program's own output (its debug lines) would bury the samples.
  posix_spawn_file_actions_t quiet;
  ::posix_spawn_file_actions_init(&quiet);
  ::posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  const int spawned = ::posix_spawn(&pid, program.c_str(), &quiet, nullptr, child, environ);
  ::posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) {
    std::perror("soak: cannot start the program");
    return 1;
  }
  UDT::startup();
  // The program listens as soon as it has started.
  bool up = false;
  for (auto until = Clock::now() + std::chrono::seconds(20); !up && Clock::now() < until;) {
    THostilePeer p;
    up = p.Connect(kPort, 0) && p.Send(WireFrame(u"up")) && p.Receive(ReplyTo(u"up").size(), 5000) == ReplyTo(u"up");
  }
  if (!up) {
    std::fprintf(stderr, "soak: the program does not answer on port %u (taken?)\n", kPort);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return 1;
  }

  const std::string proc = "/proc/" + std::to_string(pid);
  std::printf("%8s %10s %8s %6s %10s %7s %8s %9s\n", "seconds", "rss_kb", "threads", "files",
              "texts", "files", "hostile", "failures");
  auto sample = [&](long s) {
    std::printf("%8ld %10ld %8d %6d %10ld %7ld %8ld %9ld\n", s, ResidentKb(pid), reliability_test::EntriesIn(proc + "/task"),
                reliability_test::EntriesIn(proc + "/fd"), g_texts.load(), g_files.load(), g_hostile.load(), g_failures.load());
    std::fflush(stdout);
  };
  sample(0);
  std::vector<std::thread> peers;
  for (int i = 0; i < 3; ++i) peers.emplace_back(Texts, i);
  for (int i = 0; i < 2; ++i) peers.emplace_back(Files, i, folder);
  for (int i = 0; i < 2; ++i) peers.emplace_back(Hostile, i, escape);
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<long>(minutes * 60000));
  for (auto next = start + std::chrono::seconds(sampleSeconds); next <= end; next += std::chrono::seconds(sampleSeconds)) {
    std::this_thread::sleep_until(next);
    sample(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
  }
  g_stop = true;
  for (auto& t : peers) t.join();
  // Once the peers have gone, the program's conversations end and it settles.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::printf("after the peers left:\n");
  sample(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());

  const auto closing = Clock::now();
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto closeMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closing).count();
  std::printf("closed in %lld ms, %s %d\n", static_cast<long long>(closeMs),
              WIFEXITED(status) ? "exit code" : "signal", WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
  UDT::cleanup();

  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("soak-", 0) == 0 || n.rfind("whole-", 0) == 0 || n.rfind("cut-", 0) == 0)
      std::filesystem::remove(e.path(), ec);
  }
  const bool escaped = std::filesystem::exists(escape);
  if (escaped) std::printf("a file was written outside the program's folder: %s\n", escape.c_str());
  const bool ok = g_failures == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && !escaped;
  std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
