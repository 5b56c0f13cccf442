// TCustomUDTServer: the listening end of UDT, with three block modes; in
// bmThreadBlocking a dispatcher thread hands connections to pooled workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "custom_ip_client.h"
#include "server_socket_thread.h"

// A server socket. Open, Close and the properties belong to the main thread; the
// dispatcher and workers reach the server through the calls marked for them.
// Open and Close are serialised, so the error path of a failing accept on the
// dispatcher cannot interleave with the main thread opening or closing, and a
// failure on a listener that has since been replaced never closes its successor.
//
// Lock order, for the server and the threads working for it: FOpenCloseLock,
// then FDispatcherLock, then a dispatcher's pool lock, then a thread's own park
// lock (TThread). TServerLink's lock and TThread's count of running threads are
// taken last and alone. No lock is held while a thread waits inside UDT, and
// only FDispatcherLock is held while OnGetThread runs.
class TCustomUDTServer : public TUDTIpSocket {
 public:
  explicit TCustomUDTServer(TComponent* AOwner);
  // Closes the server, then waits until no dispatcher or worker is inside it
  // (conversations running in OnAccept go on, without the server).
  ~TCustomUDTServer() override;

  // Creates the socket, binds LocalHost:LocalPort, listens with a backlog of 5,
  // and in bmThreadBlocking starts the dispatcher.
  void Open() override;
  // Stops the dispatcher, stops listening and closes the socket; accepted
  // connections are left to their workers.
  void Close() override;
  // Accepts one connection into ClientSocket and fires OnAccept on the calling thread.
  bool Accept(TUDTCustomIpClient& ClientSocket);
  // Accepts one connection into a connection object that lives only during the call.
  bool Accept();
  // Waits until a connection is pending; false once the server stops listening.
  bool WaitForConnection();
  // Waits at most TimeOut ms for a pending connection; false once the server stops listening.
  bool WaitForConnection(int32_t TimeOut);
  // Select on the listening socket; safe from several threads at once.
  bool Select(bool* ReadReady, bool* WriteReady, bool* ExceptFlag, int32_t TimeOut);

  TServerSocketBlockMode BlockMode() const noexcept { return FServerBlockMode.load(); }
  void SetBlockMode(TServerSocketBlockMode Value);
  bool Listening() const noexcept { return FListening.load(); }
  // The dispatcher, created (not running) when there is none. Read inside
  // OnGetThread, it is the dispatcher that asks.
  TUDTServerSocketThread* ServerSocketThread();
  void SetServerSocketThread(TUDTServerSocketThread* Value);

  // For the dispatcher and its workers.
  const std::shared_ptr<TServerLink>& Link() const noexcept { return FLink; }
  // The listener dispatcher d accepts on, or -1 once d has been dropped.
  int32_t ListenerFor(const TUDTServerSocketThread* d);
  // The error path for an accept on Listener that failed while the server
  // still dispatched: reported and closed only while Listener is still the
  // server's socket. A failure raised by OnError is swallowed.
  void AcceptFailed(int32_t Listener) noexcept;
  // The error path for dispatcher d that a failure ended (no worker could be
  // had or started): while d still dispatches, Code and Desc go to OnError and
  // the server closes, so it no longer claims to listen. Dispatcher thread.
  void DispatchFailed(const TUDTServerSocketThread* d, int32_t Code, const char* Desc) noexcept;
  // A dispatcher that is ending stops being the server's dispatcher.
  void DispatcherFinished(TUDTServerSocketThread* Thread);
  // Fills ClientSocket with a connection accepted on this server's listener
  // and fires OnAccept; a worker's thread.
  void Deliver(int32_t Handle, const sockaddr_in& Peer, TUDTCustomIpClient& ClientSocket);

  // Sender is this server. On a worker the server has let go of it before the
  // handler runs, so destroying the server does not wait for the handler: a
  // handler that uses Sender relies on the server's owner to keep it alive.
  TSocketAcceptEvent OnAccept;
  // Runs on the dispatcher thread, which holds the dispatcher reference
  // meanwhile: the handler must not open or close this server.
  TUDTGetThreadEvent OnGetThread;
  // Fired on the main thread when the server starts listening.
  TNotifyEvent OnListening;

 protected:
  bool StartListening(int32_t Backlog);
  void ForwardGetThread(TObject* Sender, TUDTClientSocketThread*& ClientSocketThread);
  // Fires OnAccept; on a worker, the default first lets go of the server, so a
  // long conversation never holds up the server's destructor.
  virtual void NotifyAccept(TUDTCustomIpClient* ClientSocket);

 private:
  // Terminates the dispatcher and forgets it; one that never ran is freed here.
  void DropDispatcher();
  // The dispatcher, created and bound when there is none; FDispatcherLock held.
  TUDTServerSocketThread* DispatcherLocked();
  // Binds a dispatcher's OnGetThread to ForwardGetThread; before it runs.
  void Bind(TUDTServerSocketThread* d);
  // The error path for a failed call on Listener: reported and closed only while
  // Listener is still this server's socket. The first takes UDT's last error.
  void ReportListenerFailure(int32_t Listener);
  void ReportListenerFailure(int32_t Listener, int32_t Code, const char* Desc);

  std::recursive_mutex FOpenCloseLock;  // serialises Open and Close
  // Guards the dispatcher reference and its creation, start, termination and
  // release, and is held while OnGetThread runs, so the handler's read of
  // ServerSocketThread is the asking dispatcher. An ending dispatcher takes it.
  std::recursive_mutex FDispatcherLock;
  std::atomic<TServerSocketBlockMode> FServerBlockMode{bmBlocking};
  std::atomic<bool> FListening{false};
  std::atomic<TUDTServerSocketThread*> FServerSocketThread{nullptr};
  // What the listening socket was created with, for the connections it accepts;
  // read by workers while the main thread may assign the properties.
  std::atomic<TUDTSocketDomain> FListenDomain{pfINET};
  std::atomic<TUDTSocketType> FListenSockType{stStream};
  std::shared_ptr<TServerLink> FLink;
};

// The server component a window holds.
class TUDTServer : public TCustomUDTServer {
 public:
  using TCustomUDTServer::TCustomUDTServer;
};
