#include "server_socket_thread.h"

#include <algorithm>
#include <chrono>

#include "server.h"

namespace {

thread_local TUDTServerSocketThread* t_currentDispatcher = nullptr;

// UDT4's select does not notice a listener closed by another thread for
// seconds, so the dispatcher waits in slices and re-checks its terminate flag.
constexpr int32_t kConnectionWaitSlice = 100;  // ms
// While a conversation runs, UDT4 wakes every thread waiting in select for each
// packet it handles, so a dispatcher blocked in select would burn a large part
// of a core during a transfer. It then checks the listener and sleeps on its
// own condition between checks instead.
constexpr auto kBusyCheckInterval = std::chrono::milliseconds(5);

}  // namespace

TCustomUDTServer* TServerLink::Enter() {
  std::lock_guard<std::mutex> g(FLock);
  if (FServer) ++FUsers;
  return FServer;
}

void TServerLink::Leave() {
  std::lock_guard<std::mutex> g(FLock);
  if (--FUsers == 0) FIdle.notify_all();
}

TCustomUDTServer* TServerLink::Peek() const {
  std::lock_guard<std::mutex> g(FLock);
  return FServer;
}

void TServerLink::Detach() {
  std::unique_lock<std::mutex> g(FLock);
  FServer = nullptr;
  FIdle.wait(g, [this] { return FUsers == 0; });
}

// ---- worker ----

TUDTClientSocketThread::TUDTClientSocketThread(TUDTServerSocketThread* ServerSocketThread)
    : FServerSocketThread(ServerSocketThread) {
  SetFreeOnTerminate(true);
}

TUDTClientSocketThread::~TUDTClientSocketThread() {
  if (FServerSocketThread) FServerSocketThread->RemoveFromPool(this);
}

void TUDTClientSocketThread::ExecuteSyncProc() {
  Synchronize([this] { SyncHook(); });
}

void TUDTClientSocketThread::AcceptReturned() {
  if (FServerSocketThread) FServerSocketThread->WorkerChanged(this, true);
}

void TUDTClientSocketThread::Parked() {
  if (FServerSocketThread) FServerSocketThread->WorkerChanged(this, false);
}

void TUDTClientSocketThread::Execute() {
  CurrentClientSocketThread = this;
  while (!Terminated()) {
    TUDTServerSocketThread* d = FServerSocketThread;
    bool accepted = false;
    if (d && !d->Terminated()) {
      TServerUse use(d->FLink);
      TCustomUDTServer* server = use.Server();
      // -1 once the dispatcher has been dropped: a server closed and opened
      // again meanwhile has a new listener, which belongs to its new pool.
      const int32_t listener = server ? server->ListenerFor(d) : -1;
      if (listener != -1) {
        accepted = true;
        auto* client = new TUDTCustomIpClient(nullptr);
        FClientSocket = client;
        CurrentAcceptUse = &use;
        try {
          server->AcceptOn(listener, *client);
        } catch (...) {
          CurrentAcceptUse = nullptr;
          FClientSocket = nullptr;
          delete client;
          throw;
        }
        CurrentAcceptUse = nullptr;
        FClientSocket = nullptr;
        delete client;
      }
    }
    if (!accepted) AcceptReturned();
    if (!Terminated()) Suspend();
  }
}

// ---- dispatcher ----

TUDTServerSocketThread::TUDTServerSocketThread(TCustomUDTServer* AServerSocket)
    : FLink(AServerSocket ? AServerSocket->FLink : std::make_shared<TServerLink>(nullptr)) {
  SetFreeOnTerminate(true);
}

TUDTServerSocketThread::~TUDTServerSocketThread() {
  // Workers remove themselves from the pool as they finish, on their threads.
  ClearThreadPool();
  std::unique_lock<std::mutex> g(FPoolLock);
  FPoolChanged.wait(g, [this] { return FThreadPool.empty(); });
}

TUDTServerSocketThread* TUDTServerSocketThread::Current() noexcept { return t_currentDispatcher; }

std::vector<TUDTClientSocketThread*> TUDTServerSocketThread::ThreadPool() const {
  std::lock_guard<std::mutex> g(FPoolLock);
  return FThreadPool;
}

void TUDTServerSocketThread::SetThreadCacheSize(int32_t Value) {
  std::lock_guard<std::mutex> g(FPoolLock);
  FThreadCacheSize = Value;
  // A dispatcher waiting for room in a full pool may now have some.
  FPoolChanged.notify_all();
}

void TUDTServerSocketThread::ClearThreadPool() {
  std::lock_guard<std::mutex> g(FPoolLock);
  for (auto it = FThreadPool.rbegin(); it != FThreadPool.rend(); ++it) {
    (*it)->Terminate();
    if ((*it)->Suspended()) (*it)->Resume();
  }
}

void TUDTServerSocketThread::RemoveFromPool(TUDTClientSocketThread* Thread) {
  std::lock_guard<std::mutex> g(FPoolLock);
  auto it = std::find(FThreadPool.begin(), FThreadPool.end(), Thread);
  if (it != FThreadPool.end()) FThreadPool.erase(it);
  if (FHandoff == Thread) FHandoff = nullptr;
  FPoolChanged.notify_all();
}

void TUDTServerSocketThread::WorkerChanged(TUDTClientSocketThread* worker, bool acceptReturned) {
  std::lock_guard<std::mutex> g(FPoolLock);
  // Parking alone says nothing about the hand-off: a worker may be woken for a
  // new connection between deciding to park and reporting it.
  if (acceptReturned && FHandoff == worker) FHandoff = nullptr;
  FPoolChanged.notify_all();
}

void TUDTServerSocketThread::Terminate() {
  TThread::Terminate();
  std::lock_guard<std::mutex> g(FPoolLock);
  FPoolChanged.notify_all();
}

bool TUDTServerSocketThread::ConversationRunning() const {
  std::lock_guard<std::mutex> g(FPoolLock);
  return std::any_of(FThreadPool.begin(), FThreadPool.end(),
                     [](TUDTClientSocketThread* t) { return !t->Suspended(); });
}

TUDTClientSocketThread* TUDTServerSocketThread::NewClientThread() {
  return new TUDTClientSocketThread(this);
}

TUDTClientSocketThread* TUDTServerSocketThread::FindIdleThread() {
  std::lock_guard<std::mutex> g(FPoolLock);
  const auto n = static_cast<int32_t>(FThreadPool.size());
  if (n == 0 || !FLink->Peek()) return nullptr;
  int32_t index = FPoolIndex;
  for (int32_t k = 0; k < n; ++k) {
    index = ((index < 0 ? -1 : index) + 1) % n;
    if (FThreadPool[index]->Suspended()) {
      FPoolIndex = index;
      return FThreadPool[index];
    }
  }
  return nullptr;
}

TUDTClientSocketThread* TUDTServerSocketThread::AddPoolThread(TCustomUDTServer* server) {
  if (!server) return nullptr;
  {
    std::lock_guard<std::mutex> g(FPoolLock);
    if (static_cast<int32_t>(FThreadPool.size()) >= ThreadCacheSize()) return nullptr;
  }
  TUDTClientSocketThread* worker = nullptr;
  if (OnGetThread) OnGetThread(this, worker);
  if (!worker) worker = NewClientThread();
  if (worker) {
    std::lock_guard<std::mutex> g(FPoolLock);
    FThreadPool.push_back(worker);
  }
  return worker;
}

bool TUDTServerSocketThread::KeepDispatching(TCustomUDTServer* server) const {
  return !Terminated() && server && server->Listening();
}

void TUDTServerSocketThread::Execute() {
  t_currentDispatcher = this;
  // However dispatching ends, by a failure too, the server must stop referring
  // to this dispatcher before it frees itself.
  struct Farewell {
    TUDTServerSocketThread* Dispatcher;
    ~Farewell() { Dispatcher->LeaveServer(); }
  } farewell{this};
  Dispatch();
}

void TUDTServerSocketThread::LeaveServer() noexcept {
  try {
    TServerUse use(FLink);
    if (TCustomUDTServer* server = use.Server()) server->DispatcherFinished(this);
  } catch (...) {
  }
}

void TUDTServerSocketThread::Dispatch() {
  for (;;) {
    TServerUse use(FLink);
    TCustomUDTServer* server = use.Server();
    if (!KeepDispatching(server)) break;
    if (ConversationRunning()) {
      if (!server->WaitForConnection(0)) {
        use.Release();
        std::unique_lock<std::mutex> g(FPoolLock);
        // Once every worker has parked, the dispatcher goes back to waiting in select.
        FPoolChanged.wait_for(g, kBusyCheckInterval, [this] {
          return Terminated() ||
                 std::all_of(FThreadPool.begin(), FThreadPool.end(),
                             [](TUDTClientSocketThread* t) { return t->Suspended(); });
        });
        continue;
      }
    } else if (!server->WaitForConnection(kConnectionWaitSlice)) {
      continue;
    }
    if (Terminated()) continue;

    TUDTClientSocketThread* worker = FindIdleThread();
    if (!worker) worker = AddPoolThread(server);
    use.Release();

    std::unique_lock<std::mutex> g(FPoolLock);
    if (worker) {
      // The listener reports the connection until a worker has accepted it:
      // wait for that, rather than loop back and wake a second worker for it.
      FHandoff = worker;
      g.unlock();
      worker->Resume();
      g.lock();
      FPoolChanged.wait(g, [&] { return FHandoff != worker || Terminated(); });
      if (FHandoff == worker) FHandoff = nullptr;
    } else {
      // Pool full and nobody idle: sleep until a worker parks or leaves, the
      // pool may grow, or this dispatcher is told to stop.
      FPoolChanged.wait(g, [this] {
        if (Terminated()) return true;
        if (static_cast<int32_t>(FThreadPool.size()) < ThreadCacheSize()) return true;
        return std::any_of(FThreadPool.begin(), FThreadPool.end(),
                           [](TUDTClientSocketThread* t) { return t->Suspended(); });
      });
    }
  }
}
