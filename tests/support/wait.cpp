#include "wait.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace test_support {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound,
               std::chrono::milliseconds longestPause) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::chrono::milliseconds pause{1};
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, longestPause);
  }
  return true;
}

namespace {

// The state letter of the thread tid of this process; 0 once it has ended.
char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto paren = text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= text.size()) return 0;
  return text[paren + 2];
}

// CPU time (user and system, in clock ticks) of every thread of this process.
std::map<pid_t, long long> ThreadTicks() {
  std::map<pid_t, long long> ticks;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream stat(task.path() / "stat");
    std::string text;
    std::getline(stat, text);
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    // After the name: state, then fields 4 to 13, then utime and stime.
    std::istringstream fields(text.substr(paren + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;
    long long user = 0, system = 0;
    if (fields >> user >> system)
      ticks[static_cast<pid_t>(std::stol(task.path().filename().string()))] = user + system;
  }
  return ticks;
}

}  // namespace

bool ThreadIsBlocked(pid_t tid) {
  const char state = ThreadState(tid);
  return state == 'S' || state == 'D';
}

bool OtherThreadsBlocked() {
  const pid_t self = gettid();
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
    const char state = tid == self ? 'S' : ThreadState(tid);
    if (state != 0 && state != 'S' && state != 'D') return false;
  }
  return !ec;
}

std::chrono::milliseconds BusiestThreadCpu(const std::function<void()>& during) {
  const auto before = ThreadTicks();
  during();
  long long busiest = 0;
  for (const auto& [tid, ticks] : ThreadTicks())
    if (auto it = before.find(tid); it != before.end()) busiest = std::max(busiest, ticks - it->second);
  return std::chrono::milliseconds(busiest * 1000 / sysconf(_SC_CLK_TCK));
}

}  // namespace test_support
