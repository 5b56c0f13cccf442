#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "spread.h"

extern char** environ;

namespace bench {

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double ProcessCpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all;
  std::getline(in, all);
  // The name in parentheses may hold blanks; the fields after it are numbered
  // from 3 (state): utime is the 14th field, stime the 15th.
  const auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream f(all.substr(close + 2));
  std::string field;
  long long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && f >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  if (utime < 0 || stime < 0) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

namespace {

int64_t StatusField(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::strtoll(line.c_str() + n + 1, nullptr, 10);
  }
  return 0;
}

uint16_t FreePort(int type) {
  int s = ::socket(AF_INET, type, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(s);
  return port;
}

}  // namespace

int64_t ResidentBytes(pid_t pid) { return StatusField(pid, "VmRSS") * 1024; }

int ThreadCount(pid_t pid) { return static_cast<int>(StatusField(pid, "Threads")); }

uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }
uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }

bool WritePatternFile(const std::string& path, int64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  for (int64_t done = 0; done < size && out;) {
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(block.size()), size - done);
    for (int64_t i = 0; i < n; ++i) {
      const uint64_t x = static_cast<uint64_t>(done + i);
      block[static_cast<size_t>(i)] = static_cast<char>((x * 2654435761u) >> 13 ^ x);
    }
    out.write(block.data(), n);
    done += n;
  }
  return static_cast<bool>(out);
}

bool SameContent(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    if (fa.gcount() == 0) return true;
  }
}

std::string MakeTempFolder(const char* prefix) {
  std::string templ = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return {};
  return buf.data();
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

double Number(const Report& r, const std::string& key) {
  auto it = r.find(key);
  return it == r.end() ? std::nan("") : std::strtod(it->second.c_str(), nullptr);
}

Child::Child(const std::string& exe, const std::vector<std::string>& args,
             const std::vector<std::string>& env) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> argStore{exe};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  envStore.insert(envStore.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (posix_spawn(&FPid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) FPid = -1;
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  FOut = out[0];
}

Child::~Child() {
  if (FPid > 0) Stop(SIGKILL, std::chrono::seconds(5));
  if (FOut >= 0) ::close(FOut);
}

bool Child::ReadLine(std::string& line, std::chrono::milliseconds bound) {
  const auto until = Clock::now() + bound;
  for (;;) {
    auto nl = FBuffer.find('\n');
    if (nl != std::string::npos) {
      line = FBuffer.substr(0, nl);
      FBuffer.erase(0, nl + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0 || FOut < 0) return false;
    pollfd p{FOut, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t r = ::read(FOut, buf, sizeof buf);
    if (r <= 0) {
      if (!FBuffer.empty()) {
        line = std::move(FBuffer);
        FBuffer.clear();
        return true;
      }
      return false;
    }
    FBuffer.append(buf, static_cast<size_t>(r));
  }
}

Report Child::Finish(std::chrono::milliseconds bound) {
  Report r;
  const auto until = Clock::now() + bound;
  std::string line;
  while (ReadLine(line, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))) {
    auto eq = line.find('=');
    if (eq != std::string::npos) r[line.substr(0, eq)] = line.substr(eq + 1);
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  const int status = Wait(std::max(left, std::chrono::milliseconds(100)));
  if (status == -1) {
    r["exit"] = "timeout";
    Stop(SIGKILL, std::chrono::seconds(5));
  } else {
    r["exit"] = std::to_string(status);
  }
  return r;
}

int Child::Wait(std::chrono::milliseconds bound) {
  if (FPid <= 0) return -1;
  const auto until = Clock::now() + bound;
  for (;;) {
    int status = 0;
    pid_t w = ::waitpid(FPid, &status, WNOHANG);
    if (w == FPid) {
      FPid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (w < 0 || Clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int Child::Stop(int signal, std::chrono::milliseconds bound) {
  if (FPid <= 0) return -1;
  ::kill(FPid, signal);
  int status = Wait(bound);
  if (status == -1 && signal != SIGKILL) {
    ::kill(FPid, SIGKILL);
    Wait(std::chrono::seconds(5));
  }
  return status;
}

std::string SelfExe() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

Summary Summarize(std::vector<double> values) {
  const TSpread s = SpreadOf(std::move(values));
  return {s.Median, s.Min, s.Max, s.P99, s.Count};
}

}  // namespace bench
