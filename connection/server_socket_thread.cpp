#include "server_socket_thread.h"

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "server.h"

namespace {

// UDT4's codes for the same failures in its own calls.
constexpr int32_t kThreadFailure = 3001;
constexpr int32_t kUnknownError = -1;

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
  // A connection handed over to a worker that never got to run.
  if (FPendingHandle != -1) udt_close(FPendingHandle);
  if (FServerSocketThread) FServerSocketThread->RemoveFromPool(this);
}

void TUDTClientSocketThread::ExecuteSyncProc() {
  Synchronize([this] { SyncHook(); });
}

void TUDTClientSocketThread::HandOver(int32_t Handle, const sockaddr_in& Peer) noexcept {
  // Only a worker whose start failed can still hold one; that one is lost anyway.
  if (FPendingHandle != -1) udt_close(FPendingHandle);
  FPendingHandle = Handle;
  FPendingPeer = Peer;
}

void TUDTClientSocketThread::ReleaseServer(const TCustomUDTServer* Server) noexcept {
  if (FServerUse && FServerUse->Server() == Server) FServerUse->Release();
}

void TUDTClientSocketThread::Parked() {
  if (FServerSocketThread) FServerSocketThread->PoolChanged();
}

void TUDTClientSocketThread::Execute() {
  CurrentClientSocketThread = this;
  for (;;) {
    // A connection handed over before a terminate is still served: the server
    // had accepted it, and the conversation sees Terminated at once.
    const int32_t handle = std::exchange(FPendingHandle, -1);
    if (handle != -1) Serve(handle, FPendingPeer);
    if (Terminated()) break;
    Suspend();
  }
}

void TUDTClientSocketThread::Serve(int32_t Handle, const sockaddr_in& Peer) {
  TServerUse use(FServerSocketThread->Link());
  TCustomUDTServer* server = use.Server();
  if (!server) {
    udt_close(Handle);
    return;
  }
  auto client = std::make_unique<TUDTCustomIpClient>(nullptr);
  FClientSocket = client.get();
  FServerUse = &use;
  // Runs before the connection object is freed, also when OnAccept raised.
  struct Done {
    TUDTClientSocketThread* Worker;
    ~Done() {
      Worker->FServerUse = nullptr;
      Worker->FClientSocket = nullptr;
    }
  } done{this};
  server->Deliver(Handle, Peer, *client);
}

// ---- dispatcher ----

TUDTServerSocketThread::TUDTServerSocketThread(TCustomUDTServer* AServerSocket)
    : FLink(AServerSocket ? AServerSocket->Link() : std::make_shared<TServerLink>(nullptr)) {
  SetFreeOnTerminate(true);
}

TUDTServerSocketThread::~TUDTServerSocketThread() {
  // Workers remove themselves from the pool as they finish, on their threads.
  ClearThreadPool();
  std::unique_lock<std::mutex> g(FPoolLock);
  FPoolChanged.wait(g, [this] { return FThreadPool.empty(); });
}

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
  FPoolChanged.notify_all();
}

void TUDTServerSocketThread::PoolChanged() {
  std::lock_guard<std::mutex> g(FPoolLock);
  FPoolChanged.notify_all();
}

void TUDTServerSocketThread::Terminate() {
  TThread::Terminate();
  std::lock_guard<std::mutex> g(FPoolLock);
  FPoolChanged.notify_all();
}

TUDTClientSocketThread* TUDTServerSocketThread::NewClientThread() {
  return new TUDTClientSocketThread(this);
}

TUDTClientSocketThread* TUDTServerSocketThread::FindIdleThread() {
  std::lock_guard<std::mutex> g(FPoolLock);
  const auto n = static_cast<int32_t>(FThreadPool.size());
  if (n == 0) return nullptr;
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

TUDTClientSocketThread* TUDTServerSocketThread::AddPoolThread() {
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

bool TUDTServerSocketThread::WorkerAvailableLocked() const {
  if (static_cast<int32_t>(FThreadPool.size()) < ThreadCacheSize()) return true;
  return std::any_of(FThreadPool.begin(), FThreadPool.end(),
                     [](TUDTClientSocketThread* t) { return t->Suspended(); });
}

bool TUDTServerSocketThread::WaitForWorker() {
  std::unique_lock<std::mutex> g(FPoolLock);
  FPoolChanged.wait(g, [this] { return Terminated() || WorkerAvailableLocked(); });
  return !Terminated();
}

void TUDTServerSocketThread::Execute() {
  // However dispatching ends, by a failure too, the server must stop referring
  // to this dispatcher before it frees itself.
  struct Farewell {
    TUDTServerSocketThread* Dispatcher;
    ~Farewell() { Dispatcher->LeaveServer(); }
  } farewell{this};
  try {
    Dispatch();
  } catch (...) {
    ReportFailure(std::current_exception());
  }
}

void TUDTServerSocketThread::ReportFailure(std::exception_ptr Failure) noexcept {
  int32_t code = kUnknownError;
  std::string text = "Unknown error.";
  try {
    std::rethrow_exception(Failure);
  } catch (const std::system_error& e) {
    code = kThreadFailure;
    text = std::string("System resource failure: unable to create new threads: ") + e.what() + ".";
  } catch (const std::exception& e) {
    text = std::string("Unknown error: ") + e.what() + ".";
  } catch (...) {
  }
  try {
    TServerUse use(FLink);
    if (TCustomUDTServer* server = use.Server()) server->DispatchFailed(this, code, text.c_str());
  } catch (...) {
  }
}

void TUDTServerSocketThread::LeaveServer() noexcept {
  try {
    TServerUse use(FLink);
    if (TCustomUDTServer* server = use.Server()) server->DispatcherFinished(this);
  } catch (...) {
  }
}

void TUDTServerSocketThread::Dispatch() {
  // UDT wakes a thread blocked in accept only for a new connection or for the
  // listener's close (error 5006 at once), so this loop costs nothing while it
  // waits, however busy the conversations are. With no worker to be had it
  // waits for one first: connections then stay in the listener's backlog.
  while (WaitForWorker()) {
    TServerUse use(FLink);
    TCustomUDTServer* server = use.Server();
    if (!server || !server->Listening()) return;
    // -1 once this dispatcher has been dropped: a server closed and opened
    // again meanwhile has a new listener, which belongs to its new dispatcher.
    const int32_t listener = server->ListenerFor(this);
    if (listener == -1) return;
    sockaddr_in peer{};
    int32_t len = sizeof peer;
    const int32_t handle = udt_accept(listener, &peer, &len);
    if (handle == -1) {
      // Close terminates the dispatcher before it closes the listener, so only
      // a failure seen while still dispatching is the live server's own.
      if (!Terminated()) server->AcceptFailed(listener);
      return;
    }
    HandOut(handle, peer);
  }
}

void TUDTServerSocketThread::HandOut(int32_t Handle, const sockaddr_in& Peer) {
  // Closes the connection unless a worker took it, also when OnGetThread raised.
  struct Unserved {
    int32_t Handle;
    ~Unserved() {
      if (Handle != -1) udt_close(Handle);
    }
  } unserved{Handle};
  for (;;) {
    TUDTClientSocketThread* worker = FindIdleThread();
    if (!worker) worker = AddPoolThread();
    if (worker) {
      worker->HandOver(Handle, Peer);
      unserved.Handle = -1;
      try {
        worker->Resume();
      } catch (...) {
        // A new worker whose thread could not start never runs to free itself:
        // freed here, it closes the connection it holds and leaves the pool.
        if (!worker->Started()) delete worker;
        throw;
      }
      return;
    }
    // Only when the pool was made smaller meanwhile.
    if (!WaitForWorker()) return;
  }
}
