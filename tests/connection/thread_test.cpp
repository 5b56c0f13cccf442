// The thread base: created not running, started or woken by Resume, parked by
// Suspend without losing an early Resume, terminate flag, free-on-terminate,
// and Synchronize through the application's hook.
#include <atomic>
#include <deque>
#include <stdexcept>

#include "connection_support.h"

namespace connection_test {
namespace {

// A thread that counts its passes and parks after each one; the test can hold
// it inside the Parked hook, after it has decided to park and before it waits.
class ParkingThread : public TThread {
 public:
  void HoldInParked(bool hold) {
    std::lock_guard<std::mutex> g(FLock);
    FHold = hold;
    FChanged.notify_all();
  }
  bool WaitInParked(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, bound, [this] { return FInParked; });
  }
  bool WaitPasses(int n, std::chrono::milliseconds bound = kWaitBound) {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, bound, [&] { return FPasses >= n; });
  }
  int Passes() {
    std::lock_guard<std::mutex> g(FLock);
    return FPasses;
  }
  bool Finished() {
    std::lock_guard<std::mutex> g(FLock);
    return FFinished;
  }
  std::thread::id RunThread() {
    std::lock_guard<std::mutex> g(FLock);
    return FThread;
  }

 protected:
  void Execute() override {
    {
      std::lock_guard<std::mutex> g(FLock);
      FThread = std::this_thread::get_id();
    }
    while (!Terminated()) {
      {
        std::lock_guard<std::mutex> g(FLock);
        ++FPasses;
        FChanged.notify_all();
      }
      if (!Terminated()) Suspend();
    }
    std::lock_guard<std::mutex> g(FLock);
    FFinished = true;
    FChanged.notify_all();
  }
  void Parked() override {
    std::unique_lock<std::mutex> g(FLock);
    FInParked = true;
    FChanged.notify_all();
    FChanged.wait_for(g, kWaitBound, [this] { return !FHold; });
    FInParked = false;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FHold = false;
  bool FInParked = false;
  int FPasses = 0;
  bool FFinished = false;
  std::thread::id FThread;
};

using ThreadBaseTest = ConnectionTest;

TEST_F(ThreadBaseTest, CreatedNotRunningAndStartedOnItsOwnThreadByResume) {
  auto* t = new ParkingThread;
  EXPECT_TRUE(t->Suspended());
  EXPECT_FALSE(t->Started());
  EXPECT_EQ(TThread::RunningThreads(), 0);

  t->Resume();
  ASSERT_TRUE(t->WaitPasses(1)) << "the first Resume did not start the thread";
  EXPECT_TRUE(t->Started());
  EXPECT_NE(t->RunThread(), std::this_thread::get_id());
  ASSERT_TRUE(WaitUntil([&] { return t->Suspended(); })) << "the thread did not park";
  EXPECT_EQ(TThread::RunningThreads(), 1);

  t->Resume();
  ASSERT_TRUE(t->WaitPasses(2)) << "Resume did not wake the parked thread";

  t->Terminate();
  ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "a terminated thread kept running";
  EXPECT_EQ(t->Passes(), 2);
  delete t;
}

TEST_F(ThreadBaseTest, ResumeBeforeTheThreadWaitsIsNotLost) {
  auto* t = new ParkingThread;
  t->HoldInParked(true);
  t->Resume();
  ASSERT_TRUE(t->WaitInParked(kWaitBound)) << "the thread never decided to park";
  // It counts as idle from the moment it decided to park.
  EXPECT_TRUE(t->Suspended());

  t->Resume();  // arrives before the thread waits
  t->HoldInParked(false);
  ASSERT_TRUE(t->WaitPasses(2)) << "a Resume that came before the wait was lost";

  t->Terminate();
  ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound));
  delete t;
}

TEST_F(ThreadBaseTest, TerminateWakesAParkedThreadAndItNeverParksAgain) {
  auto* t = new ParkingThread;
  t->Resume();
  ASSERT_TRUE(t->WaitPasses(1));
  ASSERT_TRUE(WaitUntil([&] { return t->Suspended(); }));

  t->Terminate();
  EXPECT_TRUE(t->Terminated());
  ASSERT_TRUE(WaitUntil([&] { return t->Finished(); })) << "Terminate did not wake the thread";
  EXPECT_EQ(t->Passes(), 1);
  ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound));
  delete t;
}

TEST_F(ThreadBaseTest, TerminateThatArrivesWhileTheThreadDecidesToParkEndsIt) {
  auto* t = new ParkingThread;
  t->HoldInParked(true);
  t->Resume();
  ASSERT_TRUE(t->WaitInParked(kWaitBound));
  t->Terminate();
  t->HoldInParked(false);
  ASSERT_TRUE(WaitUntil([&] { return t->Finished(); }))
      << "a thread terminated on its way to park waited anyway";
  ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound));
  delete t;
}

// Reports its own destruction and the thread it happened on.
class SelfFreeingThread : public TThread {
 public:
  struct Record {
    std::mutex Lock;
    std::condition_variable Done;
    bool Destroyed = false;
    std::thread::id RunThread;
    std::thread::id DestroyThread;
  };

  SelfFreeingThread(std::shared_ptr<Record> r, bool fail) : FRecord(std::move(r)), FFail(fail) {
    SetFreeOnTerminate(true);
  }
  ~SelfFreeingThread() override {
    std::lock_guard<std::mutex> g(FRecord->Lock);
    FRecord->Destroyed = true;
    FRecord->DestroyThread = std::this_thread::get_id();
    FRecord->Done.notify_all();
  }

 protected:
  void Execute() override {
    {
      std::lock_guard<std::mutex> g(FRecord->Lock);
      FRecord->RunThread = std::this_thread::get_id();
    }
    if (FFail) throw std::runtime_error("Execute failed");
  }

 private:
  std::shared_ptr<SelfFreeingThread::Record> FRecord;
  bool FFail;
};

TEST_F(ThreadBaseTest, FreeOnTerminateDestroysTheObjectOnItsOwnThread) {
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "Execute raised a failure" : "Execute returned");
    auto record = std::make_shared<SelfFreeingThread::Record>();
    (new SelfFreeingThread(record, fail))->Resume();
    std::unique_lock<std::mutex> g(record->Lock);
    ASSERT_TRUE(record->Done.wait_for(g, kWaitBound, [&] { return record->Destroyed; }))
        << "the thread did not free itself";
    EXPECT_EQ(record->DestroyThread, record->RunThread);
    EXPECT_NE(record->DestroyThread, std::this_thread::get_id());
    g.unlock();
    ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound));
  }
}

// A hook that hands procedures to the test's thread, which runs them in order.
class MainThreadQueue {
 public:
  TThread::TSynchronizeHook Hook() {
    return [this](const std::function<void()>& proc) {
      std::unique_lock<std::mutex> g(FLock);
      const uint64_t ticket = ++FPosted;
      FQueue.push_back(proc);
      FChanged.notify_all();
      FChanged.wait_for(g, kWaitBound, [&] { return FRun >= ticket; });
    };
  }
  // Runs what is handed over until n procedures have run; false when the bound passed.
  bool Pump(uint64_t n, std::chrono::milliseconds bound = kWaitBound) {
    const auto deadline = Clock::now() + bound;
    std::unique_lock<std::mutex> g(FLock);
    while (FRun < n) {
      if (FQueue.empty()) {
        if (FChanged.wait_until(g, deadline) == std::cv_status::timeout && FQueue.empty())
          return false;
        continue;
      }
      auto proc = FQueue.front();
      FQueue.pop_front();
      g.unlock();
      proc();
      g.lock();
      ++FRun;
      FChanged.notify_all();
    }
    return true;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<std::function<void()>> FQueue;
  uint64_t FPosted = 0;
  uint64_t FRun = 0;
};

// Removes the hook when the test ends, whatever happened.
struct HookReset {
  ~HookReset() { TThread::SetSynchronizeHook(nullptr); }
};

TEST_F(ThreadBaseTest, SynchronizeRunsInlineWithoutAHookAndOnTheHookThreadWithOne) {
  std::thread::id ranOn;
  std::thread([&] { TThread::Synchronize([&] { ranOn = std::this_thread::get_id(); }); }).join();
  EXPECT_NE(ranOn, std::this_thread::get_id()) << "without a hook the caller runs it";

  HookReset reset;
  MainThreadQueue queue;
  TThread::SetSynchronizeHook(queue.Hook());
  std::atomic<bool> returned{false};
  std::thread::id hookRanOn;
  std::thread caller([&] {
    TThread::Synchronize([&] { hookRanOn = std::this_thread::get_id(); });
    returned = true;
  });
  const bool ran = queue.Pump(1);
  caller.join();
  ASSERT_TRUE(ran) << "the procedure never reached the hook";
  EXPECT_EQ(hookRanOn, std::this_thread::get_id());
  EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace connection_test
