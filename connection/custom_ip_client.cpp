#include "custom_ip_client.h"

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
