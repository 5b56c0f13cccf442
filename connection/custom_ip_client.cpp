#include "custom_ip_client.h"

#include <arpa/inet.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <string>

#include "thread.h"

thread_local TUDTClientSocketThread* CurrentClientSocketThread = nullptr;

namespace {

// How often a connect under way lets its opener look at OnConnectWait.
constexpr std::chrono::milliseconds kConnectWaitSlice{50};

// A connect running on a thread of its own. UDT4 cannot give up a blocking
// connect (its close waits for the connect to return), and its non-blocking
// connect reports a refusal as a connection and a time-out not at all, so the
// blocking call runs on the thread, and an opener that gives up leaves the
// socket to it.
struct TConnectAttempt {
  std::mutex Lock;
  std::condition_variable Ended;
  // Guarded by Lock.
  bool Finished = false;
  bool Abandoned = false;
  int32_t Result = 0;
  int32_t Code = 0;
  std::string Desc;
};

class TConnectThread : public TThread {
 public:
  TConnectThread(std::shared_ptr<TConnectAttempt> Attempt, int32_t Handle, const sockaddr_in& Remote)
      : FAttempt(std::move(Attempt)), FHandle(Handle), FRemote(Remote) {}

 protected:
  void Execute() override {
    const int32_t r = udt_connect(FHandle, &FRemote, sizeof FRemote);
    const char* desc = nullptr;
    const int32_t code = r == -1 ? udt_getlasterror2(&desc) : 0;
    bool abandoned = false;
    {
      std::lock_guard<std::mutex> g(FAttempt->Lock);
      FAttempt->Result = r;
      FAttempt->Code = code;
      FAttempt->Desc = desc ? desc : "";
      FAttempt->Finished = true;
      abandoned = FAttempt->Abandoned;
    }
    FAttempt->Ended.notify_all();
    if (abandoned) {
      udt_setlinger(FHandle, 0, 0);
      udt_close(FHandle);
    }
  }

 private:
  std::shared_ptr<TConnectAttempt> FAttempt;
  int32_t FHandle;
  sockaddr_in FRemote;
};

}  // namespace

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
  FConnected = ConnectTo(remote);
  if (FConnected) NotifyConnect();
}

bool TUDTCustomIpClient::ConnectTo(const sockaddr_in& remote) {
  if (OnConnectWait) {
    try {
      return ConnectWaiting(remote);
    } catch (const std::system_error&) {
      // No thread for the connect: it blocks here instead.
    }
  }
  return CheckResult(udt_connect(Handle(), &remote, sizeof remote)) == 0;
}

bool TUDTCustomIpClient::ConnectWaiting(const sockaddr_in& remote) {
  const int32_t h = Handle();
  auto attempt = std::make_shared<TConnectAttempt>();
  auto thread = std::make_unique<TConnectThread>(attempt, h, remote);
  thread->SetFreeOnTerminate(true);
  thread->Resume();
  thread.release();
  // The socket goes to the thread, or is closed here when its connect has returned.
  auto giveUp = [&] {
    bool finished = false;
    {
      std::lock_guard<std::mutex> g(attempt->Lock);
      finished = attempt->Finished;
      attempt->Abandoned = true;
    }
    AbandonHandle();
    if (finished) {
      udt_setlinger(h, 0, 0);
      udt_close(h);
    }
  };
  std::unique_lock<std::mutex> g(attempt->Lock);
  while (!attempt->Ended.wait_for(g, kConnectWaitSlice, [&] { return attempt->Finished; })) {
    g.unlock();
    bool goOn = false;
    try {
      goOn = OnConnectWait(this) && Active();
    } catch (...) {
      giveUp();
      throw;
    }
    if (!goOn) {
      giveUp();
      return false;
    }
    g.lock();
  }
  const int32_t result = attempt->Result;
  const int32_t code = attempt->Code;
  const std::string desc = attempt->Desc;
  g.unlock();
  if (result == -1) {
    ReportError(code, desc.c_str());
    return false;
  }
  return true;
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

void CloseNow(TUDTBaseSocket& Socket) {
  if (!Socket.Active()) return;
  // Without lingering UDT4's close returns at once.
  udt_setlinger(Socket.Handle(), 0, 0);
  Socket.Close();
}

void CloseWithin(TUDTBaseSocket& Socket, std::chrono::seconds Grace) {
  if (!Socket.Active()) return;
  // UDT's close waits until the peer has acknowledged every byte handed to it;
  // a live peer does so quickly, one that is gone never does.
  Socket.SetLinger(static_cast<int32_t>(Grace.count()));
  Socket.Close();
}
