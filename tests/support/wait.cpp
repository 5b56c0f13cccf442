#include "wait.h"

#include <algorithm>
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

}  // namespace test_support
