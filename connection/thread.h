// TThread: the thread base of the dispatcher and its workers, built on std::thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "component.h"

// A thread created not running, started or woken by Resume, parked by Suspend on
// itself, with a terminate flag and optional self-destruction when Execute returns.
class TThread : public TObject {
 public:
  // Runs a procedure on the main thread and returns when it has run there.
  using TSynchronizeHook = std::function<void(const std::function<void()>&)>;

  TThread();
  ~TThread() override;

  // Starts a thread that has not run yet, or wakes a parked one. Any thread.
  void Resume();
  // Sets the terminate flag; it never interrupts Execute, but a thread with the
  // flag set never parks again. Any thread.
  void Terminate();
  bool Terminated() const noexcept { return FTerminated.load(); }
  // True before the first Resume and from the moment the thread decides to park
  // until it is woken. Any thread.
  bool Suspended() const noexcept { return FSuspended.load(); }
  bool FreeOnTerminate() const noexcept { return FFreeOnTerminate.load(); }
  void SetFreeOnTerminate(bool Value) noexcept { FFreeOnTerminate = Value; }
  // True once the thread has been started by a Resume.
  bool Started() const noexcept { return FStarted.load(); }

  // Runs proc on the main thread through the installed hook and waits for it.
  // Without a hook the procedure runs on the calling thread.
  static void Synchronize(const std::function<void()>& proc);
  // Installed once by the application before any thread starts.
  static void SetSynchronizeHook(TSynchronizeHook hook);

  // Number of TThread objects started and not yet finished, in the whole process.
  static int RunningThreads() noexcept;
  // Waits until no started thread is left running, at most timeout; true when none is.
  static bool WaitForAllThreads(std::chrono::milliseconds timeout);

 protected:
  // Starts the system thread that runs this object; throws std::system_error
  // when the system has none to give. Called by the first Resume.
  virtual void StartThread();
  // The thread's work; runs on the thread once the first Resume starts it.
  virtual void Execute() = 0;
  // Parks the calling thread (which must be this one) until Resume or Terminate.
  void Suspend();
  // Runs on this thread inside Suspend, once Suspended() is true and before the
  // thread waits, so whoever looks for an idle thread can be told at once.
  virtual void Parked() {}

 private:
  void Run() noexcept;

  std::mutex FLock;  // guards FWakePending and the park wait
  std::condition_variable FWake;
  bool FWakePending = false;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FSuspended{true};
  std::atomic<bool> FFreeOnTerminate{false};
};
