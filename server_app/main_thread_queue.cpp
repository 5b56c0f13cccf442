#include "main_thread_queue.h"

#include <QObject>

#include "app_support.h"

TMainThreadQueue::TMainThreadQueue() : FContext(std::make_unique<QObject>()) {}

TMainThreadQueue::~TMainThreadQueue() { Detach(); }

void TMainThreadQueue::Post(std::function<void()> Work) {
  // Posting under the lock keeps the context alive until Qt has queued the work.
  std::lock_guard<std::mutex> g(FLock);
  if (FContext) PostToMainThread(FContext.get(), std::move(Work));
}

void TMainThreadQueue::Detach() {
  std::unique_ptr<QObject> context;
  {
    std::lock_guard<std::mutex> g(FLock);
    context = std::move(FContext);
  }
  // Destroying the context discards the work queued for it.
}
