// What the benchmarks share: clocks and CPU time, resident memory, free ports,
// child processes that report "key=value" lines, and order statistics.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0);
// User plus system CPU seconds of this process, all threads.
double ProcessCpuSeconds();
// User plus system CPU seconds of another process, all threads (/proc, 10 ms
// steps); -1 when it cannot be read.
double ProcessCpuSeconds(pid_t pid);
// Resident memory of a process in bytes (VmRSS), 0 when it cannot be read.
int64_t ResidentBytes(pid_t pid);
// Number of threads of a process, 0 when it cannot be read.
int ThreadCount(pid_t pid);

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();
// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeTcpPort();

// Writes size bytes of a position-dependent pattern to path; false on failure.
bool WritePatternFile(const std::string& path, int64_t size);
// Size of a file in bytes, -1 when it cannot be read.
int64_t FileSize(const std::string& path);
// True when the two files hold the same bytes.
bool SameContent(const std::string& a, const std::string& b);
// A fresh folder under the system's temporary folder.
std::string MakeTempFolder(const char* prefix);
void RemoveTree(const std::string& path);

// The results of one child run: the "key=value" lines it printed.
using Report = std::map<std::string, std::string>;
double Number(const Report& r, const std::string& key);

// A child process started from an executable with arguments and extra
// environment entries ("NAME=value"); its standard output is a pipe.
class Child {
 public:
  Child(const std::string& exe, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const noexcept { return FPid; }
  bool Started() const noexcept { return FPid > 0; }
  // Reads one line of the child's output, waiting at most bound; false at the
  // end of the output or when the bound passed.
  bool ReadLine(std::string& line, std::chrono::milliseconds bound);
  // Reads the rest of the output as "key=value" lines until the child ends,
  // within bound, and returns them; "exit" holds the exit status.
  Report Finish(std::chrono::milliseconds bound);
  // Sends a signal; waits at most bound for the child to end; its exit status or -1.
  int Stop(int signal, std::chrono::milliseconds bound);

 private:
  int Wait(std::chrono::milliseconds bound);

  pid_t FPid = -1;
  int FOut = -1;
  std::string FBuffer;
};

// This program's own path, for starting it again as a child.
std::string SelfExe();

// Order statistics of a sample (measure's SpreadOf: NaNs left out, empty samples give zeros).
struct Summary {
  double median = 0, min = 0, max = 0, p99 = 0;
  size_t count = 0;
};
Summary Summarize(std::vector<double> values);

}  // namespace bench
