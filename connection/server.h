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
// worker cannot interleave with the main thread opening or closing.
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
  // Waits at most TimeOut ms for a pending connection.
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

  // A dispatcher that ended by itself stops being the server's dispatcher.
  void DispatcherFinished(TUDTServerSocketThread* Thread);
  void DropDispatcher();

  std::recursive_mutex FOpenCloseLock;  // serialises Open, Close and the dispatcher reference
  std::atomic<TServerSocketBlockMode> FServerBlockMode{bmBlocking};
  std::atomic<bool> FListening{false};
  std::atomic<TUDTServerSocketThread*> FServerSocketThread{nullptr};
  std::shared_ptr<TServerLink> FLink;
};

// The server component a window holds.
class TUDTServer : public TCustomUDTServer {
 public:
  using TCustomUDTServer::TCustomUDTServer;
};

// Holds the server in use for the worker that is inside Accept, so NotifyAccept
// can let go of it before the conversation starts.
extern thread_local TServerUse* CurrentAcceptUse;
