#include "wait.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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

}  // namespace test_support
