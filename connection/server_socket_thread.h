// The server's dispatcher thread and its pooled worker threads.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
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

// A pooled worker: serves one accepted connection at a time in a fresh
// connection object, running the server's OnAccept on its own thread, then parks.
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

  // Gives a parked or not yet started worker the connection the dispatcher has
  // accepted; the worker serves it once resumed. Dispatcher thread only.
  void HandOver(int32_t Handle, const sockaddr_in& Peer) noexcept;
  // Lets go of the server this worker holds in use while it hands a connection
  // to it. The server calls it as its accept event begins, so a conversation
  // never holds up the server's destruction. This worker's thread only.
  void ReleaseServer(const TCustomUDTServer* Server) noexcept;

 protected:
  void Execute() override;
  // Work that must run on the main thread; nothing here.
  virtual void SyncHook() {}
  void Parked() override;

 private:
  // Serves the connection handed over, or closes it when its server is gone.
  void Serve(int32_t Handle, const sockaddr_in& Peer);

  std::atomic<TUDTCustomIpClient*> FClientSocket{nullptr};
  TUDTServerSocketThread* const FServerSocketThread;
  // The connection handed over and not yet taken: written by the dispatcher
  // before it resumes this worker, read by the worker once it runs.
  int32_t FPendingHandle = -1;
  sockaddr_in FPendingPeer{};
  TServerUse* FServerUse = nullptr;  // while Serve hands a connection to the server
};

// The dispatcher: waits inside UDT's accept on the server's listener and hands
// each connection to an idle pooled worker, taken in turn, growing the pool up
// to ThreadCacheSize. With no worker to be had it does not accept, and
// connections wait in the listener's backlog. A failure that ends it (OnGetThread
// raised, or a worker's thread could not start) takes the server's error path,
// which closes the server.
class TUDTServerSocketThread : public TThread {
 public:
  // Created not running, freeing itself when done.
  explicit TUDTServerSocketThread(TCustomUDTServer* AServerSocket);
  ~TUDTServerSocketThread() override;

  // The server dispatched for; none once that server has been destroyed. Compare only.
  TCustomUDTServer* ServerSocket() const { return FLink->Peek(); }
  // What this dispatcher and its workers reach the server through.
  const std::shared_ptr<TServerLink>& Link() const noexcept { return FLink; }
  int32_t ThreadCacheSize() const noexcept { return FThreadCacheSize.load(); }
  // Any value; a smaller one stops growth and removes no worker. Any thread.
  void SetThreadCacheSize(int32_t Value);
  // A copy of the pool, workers in the order they were added. Any thread.
  std::vector<TUDTClientSocketThread*> ThreadPool() const;
  // Index of the pool entry the idle search examined last. Any thread.
  int32_t PoolIndex() const noexcept { return FPoolIndex.load(); }
  // Sets the terminate flag and wakes the dispatcher if it waits for a worker.
  // Hides the base's Terminate on purpose: the base takes no virtual call, since
  // ClearThreadPool may terminate a worker whose destructor has already begun.
  void Terminate();
  // Tells every worker to finish and wakes the parked ones. Any thread.
  void ClearThreadPool();
  // Removes a worker from the pool; called by the worker as it is destroyed.
  void RemoveFromPool(TUDTClientSocketThread* Thread);
  // Wakes the dispatcher to look at its pool again; called by a worker that parks.
  void PoolChanged();

  // Asked for a new worker when the pool grows; runs on the dispatcher thread.
  TUDTGetThreadEvent OnGetThread;

 protected:
  void Execute() override;
  // Creates a default worker for this dispatcher, not running.
  virtual TUDTClientSocketThread* NewClientThread();

 private:
  void Dispatch();
  // Waits until a worker can be had (a parked one, or room to grow) or this
  // dispatcher is told to stop; true for the former.
  bool WaitForWorker();
  bool WorkerAvailableLocked() const;
  // Gives an accepted connection to a worker; closes it if none can be had.
  void HandOut(int32_t Handle, const sockaddr_in& Peer);
  // Tells the server, if it still exists, that this dispatcher is ending.
  void LeaveServer() noexcept;
  // Hands the failure that ended dispatching to the server's error path.
  void ReportFailure(std::exception_ptr Failure) noexcept;
  TUDTClientSocketThread* FindIdleThread();
  TUDTClientSocketThread* AddPoolThread();

  std::shared_ptr<TServerLink> FLink;
  std::atomic<int32_t> FPoolIndex{0};
  std::atomic<int32_t> FThreadCacheSize{10};
  mutable std::mutex FPoolLock;  // guards FThreadPool
  std::condition_variable FPoolChanged;
  std::vector<TUDTClientSocketThread*> FThreadPool;
};
