// TCliOutput: what udtbench-cli writes: lines or JSON objects on standard
// output, error lines and a progress bar on standard error.
#pragma once

#include <QJsonObject>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// The program's two streams. Any thread: each write is one whole line.
class TCliOutput {
 public:
  explicit TCliOutput(bool Json);
  TCliOutput(const TCliOutput&) = delete;
  TCliOutput& operator=(const TCliOutput&) = delete;

  bool Json() const noexcept { return FJson; }
  // One line on standard output, unless the output is JSON.
  void Line(const std::string& Text);
  // One JSON object, compact, on one line of standard output, when the output is JSON.
  void Event(const QJsonObject& Object);
  // One line on standard error ("udtbench-cli: ..."); with JSON output also an
  // "error" event on standard output.
  void Error(const std::string& Text);

 private:
  void Write(std::FILE* Stream, const std::string& Line);

  const bool FJson;
  std::mutex FLock;  // one line at a time on either stream
  bool FBarShown = false;  // guarded by FLock
  friend class TProgressBar;
};

// A progress bar on standard error (percentage, rate, time left), drawn only
// when standard error is a terminal. Main thread.
class TProgressBar {
 public:
  TProgressBar(TCliOutput& Output, std::string Name, int64_t Size);
  // Removes the bar.
  ~TProgressBar();
  TProgressBar(const TProgressBar&) = delete;
  TProgressBar& operator=(const TProgressBar&) = delete;

  // Draws the bar for Percent (0 to 100) of the size.
  void Show(int Percent);

 private:
  TCliOutput& FOutput;
  const std::string FName;
  const int64_t FSize;
  const bool FEnabled;
  const std::chrono::steady_clock::time_point FStart;
};

// Seconds as "m:ss".
std::string MinutesSeconds(double Seconds);
