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
// dispatcher and workers call WaitForConnection and Accept on their own threads.
// Open and Close are serialised, so the error path of a failing accept on a
// worker cannot interleave with the main thread opening or closing, and a
// failure on a listener that has since been replaced never closes its successor.
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
  // The dispatcher, created (not running) when there is none. Read on a
  // dispatcher thread of this server, it is that dispatcher.
  TUDTServerSocketThread* ServerSocketThread();
  void SetServerSocketThread(TUDTServerSocketThread* Value);

  TSocketAcceptEvent OnAccept;
  TUDTGetThreadEvent OnGetThread;
  // Fired on the main thread when the server starts listening.
  TNotifyEvent OnListening;

 protected:
  bool StartListening(int32_t Backlog);
  void ForwardGetThread(TObject* Sender, TUDTClientSocketThread*& ClientSocketThread);
  // Fires OnAccept; the default releases the server for destruction first, so a
  // long conversation never holds up the server's destructor.
  virtual void NotifyAccept(TUDTCustomIpClient* ClientSocket);

 private:
  friend class TUDTServerSocketThread;
  friend class TUDTClientSocketThread;

  // A dispatcher that is ending stops being the server's dispatcher.
  void DispatcherFinished(TUDTServerSocketThread* Thread);
  // Terminates the dispatcher and forgets it; one that never ran is freed here.
  void DropDispatcher();
  // The dispatcher, created when there is none; FDispatcherLock held.
  TUDTServerSocketThread* DispatcherLocked();
  // The listener a worker of dispatcher d accepts on, or -1 once d has been
  // dropped. Read together with d's terminate flag, under FDispatcherLock.
  int32_t ListenerFor(const TUDTServerSocketThread* d);
  // Accept on the given listener; Accept(ClientSocket) passes the current one.
  bool AcceptOn(int32_t Listener, TUDTCustomIpClient& ClientSocket);
  // The error path for a failed call on Listener: reported and closed only while
  // Listener is still this server's socket.
  void ReportListenerFailure(int32_t Listener);

  std::recursive_mutex FOpenCloseLock;  // serialises Open and Close
  // Guards the dispatcher reference and its creation, start, termination and
  // release. Never held for long: an ending dispatcher takes it.
  std::mutex FDispatcherLock;
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

// Holds the server in use for the worker that is inside Accept, so NotifyAccept
// can let go of it before the conversation starts.
inline thread_local TServerUse* CurrentAcceptUse = nullptr;
