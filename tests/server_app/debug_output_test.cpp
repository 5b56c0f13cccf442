// The debug output on standard error: batched, yet every line whole and in order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_support.h"
#include "sysutils.h"

TEST(DebugOutput, LinesOfManyThreadsReachStandardErrorWholeAndInOrderWithoutAFlush) {
  const std::string path = ::testing::TempDir() + "debug-output-" + std::to_string(::getpid());
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(file, 0);
  const int saved = ::dup(2);
  ::dup2(file, 2);
  ::close(file);
  // Enough to pass the size at which a writer flushes at once, beside the timer's flushes.
  constexpr int kThreads = 4, kLines = 5000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        OutputDebugString(u"Send Part Stream: " + Utf8ToUtf16(std::to_string(t * kLines + i)));
    });
  for (auto& w : writers) w.join();
  // The last lines go out on the timer, with no flush asked for.
  std::vector<std::string> lines;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lines.size() < kThreads * kLines && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ifstream in(path);
    lines.clear();
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ::dup2(saved, 2);
  ::close(saved);
  ::unlink(path.c_str());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines)) << "not every line arrived within 10 s";
  std::vector<int> next(kThreads);
  for (int t = 0; t < kThreads; ++t) next[t] = t * kLines;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind("Send Part Stream: ", 0), 0u) << "a line arrived cut: " << line;
    const int n = std::stoi(line.substr(18));
    ASSERT_EQ(n, next[n / kLines]++) << "a thread's lines arrived out of order";
  }
}
