#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <fstream>
#include <thread>
#include "app_support.h"
#include "sysutils.h"

TEST(DebugOutput, LinesOfManyThreadsReachStandardErrorWholeAndInOrderWithoutAFlush) {
  const std::string path = ::testing::TempDir() + "debug-output-" + std::to_string(::getpid());
  const int saved = ::dup(2), file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(file, 2);
  constexpr int kThreads = 4, kLines = 5000;  // more than one batch's 64 KiB
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([t] {
      for (int i = t * kLines; i < (t + 1) * kLines; ++i)
        OutputDebugString(u"Send Part Stream: " + Utf8ToUtf16(std::to_string(i)));
    });
  for (auto& w : writers) w.join();
  std::vector<std::string> lines;  // the last batch goes out on the timer
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       lines.size() < kThreads * kLines && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ifstream in(path);
    lines.clear();
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ::dup2(saved, 2), ::close(saved), ::close(file), ::unlink(path.c_str());
  ASSERT_EQ(lines.size(), size_t{kThreads * kLines}) << "not every line arrived within 10 s";
  int next[kThreads] = {0, kLines, 2 * kLines, 3 * kLines};
  for (const std::string& line : lines)
    ASSERT_TRUE(line.rfind("Send Part Stream: ", 0) == 0 &&
                std::stoi(line.substr(18)) == next[std::stoi(line.substr(18)) / kLines]++)
        << "a line arrived cut or out of its thread's order: " << line;
}
