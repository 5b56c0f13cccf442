// TMainThreadQueue: the road from server threads to the main thread for one window.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

// Hands work from any thread to the main thread, in the order posted, without
// waiting for it. Once detached, further posts are ignored and work still
// waiting is dropped, so nothing reaches a window that is gone.
//
// The work waits in a list of our own, guarded by a mutex; the toolkit's event
// queue only carries a bare wake-up that nobody reads. Nothing the workers hand
// over travels through that queue, whose locking the sanitizers cannot see (Qt
// is not instrumented).
class TMainThreadQueue {
 public:
  // Main thread: the queue belongs to the thread that creates it.
  TMainThreadQueue();
  ~TMainThreadQueue();
  TMainThreadQueue(const TMainThreadQueue&) = delete;
  TMainThreadQueue& operator=(const TMainThreadQueue&) = delete;

  // Queues Work to run on the main thread after everything posted before it. Any thread.
  void Post(std::function<void()> Work);
  // Drops the work still waiting and ignores later posts. Main thread.
  void Detach();

 private:
  struct TState;
  // Runs the work waiting now, in order. Main thread.
  static void Drain(TState& State);

  // Shared with the notifier's handler, so a piece of work that destroys this
  // queue does not pull the list out from under the loop running it.
  std::shared_ptr<TState> FState;
};
