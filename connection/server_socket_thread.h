// The server's dispatcher thread and its pooled worker threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "custom_ip_client.h"
#include "thread.h"

class TCustomUDTServer;

// Shared by a server and the threads working for it: tells them whether the
// server still exists, and keeps it alive while one of them is inside it.
class TServerLink {
 public:
  explicit TServerLink(TCustomUDTServer* server) : FServer(server) {}
  // The server, counted as in use until Leave; none once it is being destroyed.
  TCustomUDTServer* Enter();
  void Leave();
  // The server as last known, for comparisons only; never dereference it.
  TCustomUDTServer* Peek() const;
  // Called by the dying server: no new entries, then waits until nobody is inside.
  void Detach();

 private:
  mutable std::mutex FLock;  // guards FServer and FUsers
  std::condition_variable FIdle;
  TCustomUDTServer* FServer;
  int FUsers = 0;
};

// Holds a server in use for a scope; Server() is none when it is gone.
class TServerUse {
 public:
  explicit TServerUse(const std::shared_ptr<TServerLink>& link)
      : FLink(link), FServer(link->Enter()) {}
  ~TServerUse() { Release(); }
  TServerUse(const TServerUse&) = delete;
  TServerUse& operator=(const TServerUse&) = delete;
  TCustomUDTServer* Server() const noexcept { return FServer; }
  void Release() {
    if (FServer) {
      FServer = nullptr;
      FLink->Leave();
    }
  }

 private:
  std::shared_ptr<TServerLink> FLink;
  TCustomUDTServer* FServer;
};

class TUDTServerSocketThread;

// A pooled worker: accepts one connection at a time into a fresh connection
// object, runs the server's OnAccept on its own thread, then parks.
class TUDTClientSocketThread : public TThread {
 public:
  // Created not running, freeing itself when done; it joins no pool by itself.
  explicit TUDTClientSocketThread(TUDTServerSocketThread* ServerSocketThread);
  ~TUDTClientSocketThread() override;

  // The connection being served, or none between connections. Any thread.
  TUDTCustomIpClient* ClientSocket() const noexcept { return FClientSocket.load(); }
  TUDTServerSocketThread* ServerSocketThread() const noexcept { return FServerSocketThread; }
  // Runs SyncHook on the main thread and waits for it. Worker thread only.
  void ExecuteSyncProc();

 protected:
  void Execute() override;
  // Work that must run on the main thread; nothing here.
  virtual void SyncHook() {}
  void Parked() override;

 private:
  friend class TCustomUDTServer;
  // Tells the dispatcher that this worker is done with the connection it was
  // woken for: its accept has returned, or it had nothing to accept on.
  void AcceptReturned();

  std::atomic<TUDTCustomIpClient*> FClientSocket{nullptr};
  TUDTServerSocketThread* const FServerSocketThread;
};

// The dispatcher: waits for pending connections on the server's listening socket
// and hands each to an idle pooled worker, growing the pool up to ThreadCacheSize.
class TUDTServerSocketThread : public TThread {
 public:
  // Created not running, freeing itself when done.
  explicit TUDTServerSocketThread(TCustomUDTServer* AServerSocket);
  ~TUDTServerSocketThread() override;

  // The server dispatched for; none once that server has been destroyed. Compare only.
  TCustomUDTServer* ServerSocket() const { return FLink->Peek(); }
  int32_t ThreadCacheSize() const noexcept { return FThreadCacheSize.load(); }
  // Any value; a smaller one stops growth and removes no worker. Any thread.
  void SetThreadCacheSize(int32_t Value);
  // A copy of the pool, workers in the order they were added. Any thread.
  std::vector<TUDTClientSocketThread*> ThreadPool() const;
  // Index of the pool entry the idle search examined last. Any thread.
  int32_t PoolIndex() const noexcept { return FPoolIndex.load(); }
  // Sets the terminate flag and wakes the dispatcher if it waits on its workers.
  // Hides the base's Terminate on purpose: the base takes no virtual call, since
  // ClearThreadPool may terminate a worker whose destructor has already begun.
  void Terminate();
  // Tells every worker to finish and wakes the parked ones. Any thread.
  void ClearThreadPool();
  // Removes a worker from the pool; called by the worker as it is destroyed.
  void RemoveFromPool(TUDTClientSocketThread* Thread);

  // Asked for a new worker when the pool grows; runs on the dispatcher thread.
  TUDTGetThreadEvent OnGetThread;

  // The dispatcher running the calling thread, or none.
  static TUDTServerSocketThread* Current() noexcept;

 protected:
  void Execute() override;
  // Creates a default worker for this dispatcher, not running.
  virtual TUDTClientSocketThread* NewClientThread();

 private:
  friend class TCustomUDTServer;
  friend class TUDTClientSocketThread;

  void Dispatch();
  // Tells the server, if it still exists, that this dispatcher is ending.
  void LeaveServer() noexcept;
  TUDTClientSocketThread* FindIdleThread();
  TUDTClientSocketThread* AddPoolThread(TCustomUDTServer* server);
  // Wakes the dispatcher when a worker parks or leaves the pool; with
  // acceptReturned, the worker is also done with the connection it was woken for.
  void WorkerChanged(TUDTClientSocketThread* worker, bool acceptReturned);
  bool KeepDispatching(TCustomUDTServer* server) const;
  // True while some worker of the pool is not parked, serving a conversation.
  bool ConversationRunning() const;

  std::shared_ptr<TServerLink> FLink;
  std::atomic<int32_t> FPoolIndex{0};
  std::atomic<int32_t> FThreadCacheSize{10};
  mutable std::mutex FPoolLock;  // guards FThreadPool and FHandoff
  std::condition_variable FPoolChanged;
  std::vector<TUDTClientSocketThread*> FThreadPool;
  // The worker woken for a pending connection whose accept has not returned yet.
  TUDTClientSocketThread* FHandoff = nullptr;
  std::atomic<bool> FBoundToServer{false};
};
