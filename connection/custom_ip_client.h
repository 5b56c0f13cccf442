// TUDTCustomIpClient: the connected end of a UDT connection, on the client side
// or as a connection the server accepted; TUDTClient is the window's component.
#pragma once

#include <chrono>
#include <functional>

#include "ip_socket.h"

class TUDTClientSocketThread;

// The pooled worker running the current thread; none on every other thread.
extern thread_local TUDTClientSocketThread* CurrentClientSocketThread;

// An IPv4 UDT socket that connects to RemoteHost:RemotePort when opened. Used by
// one thread at a time, like its base.
class TUDTCustomIpClient : public TUDTIpSocket {
 public:
  explicit TUDTCustomIpClient(TComponent* AOwner);
  ~TUDTCustomIpClient() override;

  // Creates the socket if needed, binds it when LocalPort is set, and connects.
  // With OnConnectWait set, the connect runs on a thread of its own while this
  // one calls OnConnectWait every 50 ms; the events fire here either way.
  void Open() override;
  // Reports the disconnect of a connected socket, then closes it.
  void Close() override;
  // Opens and connects; true when connected afterwards.
  bool Connect();
  void Disconnect();
  // The pooled worker thread running the caller, or none; any thread.
  TUDTClientSocketThread* GetThreadObject() const noexcept;

  bool Connected() const noexcept { return FConnected; }
  // Becomes the connected end of a connection that a listener accepted: takes
  // over its socket, with the peer's address and port as texts. No event fires.
  void AdoptAccepted(int32_t Handle, const sockaddr_in& Peer, TUDTSocketDomain Domain,
                     TUDTSocketType SockType, TSocketBlockMode Mode);

  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnDisconnect;
  // Called on the opening thread while a connect is under way; returning false
  // gives the connect up: the component closes without an error, and the
  // socket is closed as soon as UDT's connect returns. Empty: Open blocks.
  std::function<bool(TObject* Sender)> OnConnectWait;

 protected:
  virtual void NotifyConnect();
  virtual void NotifyDisconnect();

 private:
  // Connects the open socket to remote; false when the connect failed and the
  // error was reported, or when OnConnectWait gave it up.
  bool ConnectTo(const sockaddr_in& remote);
  bool ConnectWaiting(const sockaddr_in& remote);

  bool FConnected = false;
};

// Closes Socket, letting it wait at most Grace for its peer to acknowledge data.
// The socket's thread.
void CloseWithin(TUDTBaseSocket& Socket, std::chrono::seconds Grace);
// Closes Socket at once, dropping what its peer has not acknowledged; the peer
// sees the connection end. The socket's thread.
void CloseNow(TUDTBaseSocket& Socket);

// The client component a window holds; the same connection with its stored settings.
class TUDTClient : public TUDTCustomIpClient {
 public:
  using TUDTCustomIpClient::TUDTCustomIpClient;
};
