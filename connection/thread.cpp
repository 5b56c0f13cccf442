#include "thread.h"

namespace {

std::mutex g_hookLock;
TThread::TSynchronizeHook g_synchronizeHook;

std::mutex g_runningLock;
std::condition_variable g_runningChanged;
int g_running = 0;

}  // namespace

TThread::TThread() = default;

TThread::~TThread() = default;

void TThread::Resume() {
  if (!FStarted.exchange(true)) {
    {
      std::lock_guard<std::mutex> g(g_runningLock);
      ++g_running;
    }
    FSuspended = false;
    try {
      StartThread();
    } catch (...) {
      FStarted = false;
      FSuspended = true;
      std::lock_guard<std::mutex> g(g_runningLock);
      --g_running;
      g_runningChanged.notify_all();
      throw;
    }
    return;
  }
  std::lock_guard<std::mutex> g(FLock);
  FWakePending = true;
  FSuspended = false;
  FWake.notify_one();
}

void TThread::StartThread() { std::thread(&TThread::Run, this).detach(); }

void TThread::Terminate() {
  std::lock_guard<std::mutex> g(FLock);
  FTerminated = true;
  FWake.notify_one();
}

void TThread::Suspend() {
  {
    std::lock_guard<std::mutex> g(FLock);
    // A Resume that came earlier is not lost: it left FWakePending set.
    if (FWakePending || FTerminated) {
      FWakePending = false;
      FSuspended = false;
      return;
    }
    FSuspended = true;
  }
  // Told outside the lock: whoever listens may take its own locks and then ours.
  Parked();
  std::unique_lock<std::mutex> g(FLock);
  FWake.wait(g, [this] { return FWakePending || FTerminated.load(); });
  FWakePending = false;
  FSuspended = false;
}

void TThread::Run() noexcept {
  try {
    Execute();
  } catch (...) {
    // A failure that ends Execute is not reported anywhere.
  }
  try {
    if (FFreeOnTerminate) delete this;
  } catch (...) {
  }
  std::lock_guard<std::mutex> g(g_runningLock);
  --g_running;
  g_runningChanged.notify_all();
}

void TThread::Synchronize(const std::function<void()>& proc) {
  TSynchronizeHook hook;
  {
    std::lock_guard<std::mutex> g(g_hookLock);
    hook = g_synchronizeHook;
  }
  if (hook) hook(proc);
  else proc();
}

void TThread::SetSynchronizeHook(TSynchronizeHook hook) {
  std::lock_guard<std::mutex> g(g_hookLock);
  g_synchronizeHook = std::move(hook);
}

int TThread::RunningThreads() noexcept {
  std::lock_guard<std::mutex> g(g_runningLock);
  return g_running;
}

bool TThread::WaitForAllThreads(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(g_runningLock);
  return g_runningChanged.wait_for(g, timeout, [] { return g_running == 0; });
}
