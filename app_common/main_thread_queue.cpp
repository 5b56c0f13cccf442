#include "main_thread_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <deque>

namespace {

// Receives the wake-ups on the main thread. Whatever event arrives, it only
// drains: it never reads the event, which another thread built.
class TWakeReceiver : public QObject {
 public:
  explicit TWakeReceiver(std::function<void()> OnWake) : FOnWake(std::move(OnWake)) {}
  bool event(QEvent*) override {
    FOnWake();
    return true;
  }

 private:
  std::function<void()> FOnWake;
};

}  // namespace

struct TMainThreadQueue::TState {
  std::mutex Lock;  // guards Work, Detached and Receiver
  std::deque<std::function<void()>> Work;
  bool Detached = false;
  QObject* Receiver = nullptr;  // owned by the queue; none once detached
};

TMainThreadQueue::TMainThreadQueue() : FState(std::make_shared<TState>()) {
  FState->Receiver = new TWakeReceiver([state = std::weak_ptr<TState>(FState)] {
    if (auto keep = state.lock()) Drain(*keep);
  });
}

TMainThreadQueue::~TMainThreadQueue() { Detach(); }

void TMainThreadQueue::Post(std::function<void()> Work) {
  TState& s = *FState;
  // Posting under the lock keeps the receiver alive until Qt has queued the wake-up.
  std::lock_guard<std::mutex> g(s.Lock);
  if (s.Detached || !s.Receiver) return;
  const bool wasEmpty = s.Work.empty();
  s.Work.push_back(std::move(Work));
  // One wake-up per batch: the main thread takes everything waiting at once.
  if (wasEmpty) QCoreApplication::postEvent(s.Receiver, new QEvent(QEvent::User));
}

void TMainThreadQueue::Drain(TState& s) {
  std::deque<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> g(s.Lock);
    work.swap(s.Work);
  }
  for (auto& w : work) {
    {
      // A piece of work may detach the queue (its window goes); the rest is dropped.
      std::lock_guard<std::mutex> g(s.Lock);
      if (s.Detached) return;
    }
    w();
  }
}

void TMainThreadQueue::Detach() {
  TState& s = *FState;
  std::deque<std::function<void()>> dropped;
  QObject* receiver;
  {
    std::lock_guard<std::mutex> g(s.Lock);
    s.Detached = true;
    dropped.swap(s.Work);
    receiver = s.Receiver;
    s.Receiver = nullptr;
  }
  // Destroying the receiver discards the wake-ups queued for it.
  delete receiver;
}
