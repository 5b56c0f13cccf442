// TMemoryRelease: gives memory back to the system after conversations end.
#pragma once

#include <chrono>
#include <memory>

class QTimer;

// UDT4 frees a closed connection's buffers (several hundred kilobytes) only on
// its collector's tick a second or more later, and the C library keeps freed
// memory for reuse, so a burst of short conversations would leave the server
// holding the memory of all those that overlapped. Some seconds after a
// conversation ends, this hands what is free back to the system. Main thread.
class TMemoryRelease {
 public:
  explicit TMemoryRelease(std::chrono::milliseconds Delay = std::chrono::seconds(3));
  ~TMemoryRelease();
  TMemoryRelease(const TMemoryRelease&) = delete;
  TMemoryRelease& operator=(const TMemoryRelease&) = delete;

  // A conversation has ended; memory is released Delay after the last end of a
  // burst (after at most about ten seconds of steady traffic).
  void ConversationEnded();
  // Number of releases done so far.
  int Releases() const noexcept { return FReleases; }

 private:
  std::chrono::milliseconds FDelay;
  std::unique_ptr<QTimer> FTimer;
  std::chrono::steady_clock::time_point FFirstEnd;
  int FReleases = 0;
};
