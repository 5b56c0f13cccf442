#include "custom_ip_client.h"

#include <arpa/inet.h>

#include <string>

thread_local TUDTClientSocketThread* CurrentClientSocketThread = nullptr;

TUDTCustomIpClient::TUDTCustomIpClient(TComponent* AOwner) : TUDTIpSocket(AOwner) {}

TUDTCustomIpClient::~TUDTCustomIpClient() {
  try {
    TUDTCustomIpClient::Close();
  } catch (...) {
  }
}

void TUDTCustomIpClient::Open() {
  TUDTBaseSocket::Open();
  if (!Active() || FConnected) return;
  sockaddr_in remote = GetSocketAddr(RemoteHost(), RemotePort());
  if (!LocalPort().empty()) {
    sockaddr_in local = GetSocketAddr(LocalHost(), LocalPort());
    CheckResult(udt_bind(Handle(), &local, sizeof local));
  }
  FConnected = CheckResult(udt_connect(Handle(), &remote, sizeof remote)) == 0;
  if (FConnected) NotifyConnect();
}

void TUDTCustomIpClient::Close() {
  if (FConnected) {
    FConnected = false;
    NotifyDisconnect();
  }
  TUDTBaseSocket::Close();
}

void TUDTCustomIpClient::AdoptAccepted(int32_t Handle, const sockaddr_in& Peer,
                                       TUDTSocketDomain Domain, TUDTSocketType SockType,
                                       TSocketBlockMode Mode) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &Peer.sin_addr, host, sizeof host);
  AdoptHandle(Handle, Domain, SockType, Mode, host, std::to_string(ntohs(Peer.sin_port)));
  FConnected = true;
}

bool TUDTCustomIpClient::Connect() {
  Open();
  return Connected();
}

void TUDTCustomIpClient::Disconnect() { Close(); }

TUDTClientSocketThread* TUDTCustomIpClient::GetThreadObject() const noexcept {
  return CurrentClientSocketThread;
}

void TUDTCustomIpClient::NotifyConnect() {
  if (OnConnect) OnConnect(this);
}

void TUDTCustomIpClient::NotifyDisconnect() {
  if (OnDisconnect) OnDisconnect(this);
}
