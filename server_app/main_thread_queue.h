// TMainThreadQueue: the road from server threads to the main thread for one window.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

class QObject;

// Hands work from any thread to the main thread, in the order posted, without
// waiting for it. Once detached, further posts are ignored and work still
// waiting is dropped, so nothing reaches a window that is gone.
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
  std::mutex FLock;                  // guards FContext
  std::unique_ptr<QObject> FContext;  // none once detached
};
