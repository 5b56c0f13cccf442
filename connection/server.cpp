#include "server.h"

#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr int32_t kBacklog = 5;
constexpr int32_t kDuplicateListen = 5011;
// A listener that was just closed keeps its port for UDT4 until its garbage
// collector reaps it, 4 to 5 s later; a reopen waits that long for it.
constexpr auto kRelistenPatience = std::chrono::seconds(6);
constexpr auto kRelistenRetry = std::chrono::milliseconds(50);
constexpr int32_t kWaitSlice = 100;  // ms; WaitForConnection re-checks Listening this often

}  // namespace

TCustomUDTServer::TCustomUDTServer(TComponent* AOwner)
    : TUDTIpSocket(AOwner), FLink(std::make_shared<TServerLink>(this)) {
  SetBlockMode(bmThreadBlocking);
}

TCustomUDTServer::~TCustomUDTServer() {
  try {
    TCustomUDTServer::Close();
  } catch (...) {
  }
  // A dispatcher created by a read in another block mode never ran.
  DropDispatcher();
  FLink->Detach();
}

void TCustomUDTServer::Open() {
  std::lock_guard<std::recursive_mutex> g(FOpenCloseLock);
  TUDTBaseSocket::Open();
  FListenDomain = Domain();
  FListenSockType = SockType();
  if (!BindLocal()) return;
  if (!StartListening(kBacklog)) return;
  if (FServerBlockMode == bmThreadBlocking) {
    std::lock_guard<std::recursive_mutex> d(FDispatcherLock);
    TUDTServerSocketThread* dispatcher = DispatcherLocked();
    if (!dispatcher->Started()) dispatcher->Resume();
  }
}

void TCustomUDTServer::Close() {
  std::lock_guard<std::recursive_mutex> g(FOpenCloseLock);
  if (FServerBlockMode == bmThreadBlocking) DropDispatcher();
  FListening = false;
  TUDTBaseSocket::Close();
}

void TCustomUDTServer::DropDispatcher() {
  std::lock_guard<std::recursive_mutex> g(FDispatcherLock);
  TUDTServerSocketThread* d = FServerSocketThread.exchange(nullptr);
  if (!d) return;
  d->Terminate();
  // One that never ran has no thread to free it.
  if (!d->Started()) delete d;
}

void TCustomUDTServer::DispatcherFinished(TUDTServerSocketThread* Thread) {
  // Not the open/close lock: a reopen holds that for seconds while UDT still
  // refuses the port, and this dispatcher's workers wait for it to wind down.
  std::lock_guard<std::recursive_mutex> g(FDispatcherLock);
  TUDTServerSocketThread* expected = Thread;
  FServerSocketThread.compare_exchange_strong(expected, nullptr);
}

int32_t TCustomUDTServer::ListenerFor(const TUDTServerSocketThread* d) {
  // Close drops the dispatcher under this lock before it closes the listener,
  // so a dispatcher not yet terminated here still owns the current listener.
  std::lock_guard<std::recursive_mutex> g(FDispatcherLock);
  return d->Terminated() ? -1 : Handle();
}

bool TCustomUDTServer::StartListening(int32_t Backlog) {
  if (Active() && !FListening) {
    const auto deadline = std::chrono::steady_clock::now() + kRelistenPatience;
    int32_t r;
    for (;;) {
      r = udt_listen(Handle(), Backlog);
      if (r == 0) break;
      const char* desc = nullptr;
      if (udt_getlasterror2(&desc) != kDuplicateListen ||
          std::chrono::steady_clock::now() >= deadline) {
        CheckResult(-1);
        break;
      }
      std::this_thread::sleep_for(kRelistenRetry);
    }
    FListening = r == 0;
    if (FListening && OnListening) OnListening(this);
  }
  return FListening;
}

void TCustomUDTServer::SetBlockMode(TServerSocketBlockMode Value) {
  if (Value == FServerBlockMode) return;
  if (ClosesOnChange()) Close();
  FServerBlockMode = Value;
  TUDTBaseSocket::SetBlockMode(Value == bmThreadBlocking ? bmBlocking : Value);
}

TUDTServerSocketThread* TCustomUDTServer::ServerSocketThread() {
  std::lock_guard<std::recursive_mutex> g(FDispatcherLock);
  return DispatcherLocked();
}

TUDTServerSocketThread* TCustomUDTServer::DispatcherLocked() {
  TUDTServerSocketThread* d = FServerSocketThread.load();
  if (!d) {
    d = new TUDTServerSocketThread(this);
    Bind(d);
    FServerSocketThread = d;
  }
  return d;
}

void TCustomUDTServer::Bind(TUDTServerSocketThread* d) {
  d->OnGetThread = [this](TObject* Sender, TUDTClientSocketThread*& t) {
    ForwardGetThread(Sender, t);
  };
}

void TCustomUDTServer::SetServerSocketThread(TUDTServerSocketThread* Value) {
  std::lock_guard<std::recursive_mutex> g(FOpenCloseLock);
  if (FServerSocketThread.load()) {
    Close();
    DropDispatcher();
  }
  std::lock_guard<std::recursive_mutex> d(FDispatcherLock);
  if (Value && !Value->Started()) Bind(Value);
  FServerSocketThread = Value;
}

void TCustomUDTServer::ForwardGetThread(TObject* Sender,
                                        TUDTClientSocketThread*& ClientSocketThread) {
  // Held through the handler: Close waits for it, so the dispatcher that the
  // handler reads is the one asking, never a fresh one made for a closed server.
  std::lock_guard<std::recursive_mutex> g(FDispatcherLock);
  // A dispatcher dropped meanwhile makes a default worker for the connection it holds.
  if (Sender != FServerSocketThread.load()) return;
  if (OnGetThread) OnGetThread(this, ClientSocketThread);
}

void TCustomUDTServer::NotifyAccept(TUDTCustomIpClient* ClientSocket) {
  TSocketAcceptEvent handler = OnAccept;
  if (TUDTClientSocketThread* worker = CurrentClientSocketThread) worker->ReleaseServer(this);
  if (handler) handler(this, ClientSocket);
}

bool TCustomUDTServer::Accept(TUDTCustomIpClient& ClientSocket) {
  const int32_t listener = Handle();
  sockaddr_in peer{};
  int32_t len = sizeof peer;
  const int32_t h = udt_accept(listener, &peer, &len);
  if (h == -1) {
    try {
      ReportListenerFailure(listener);
    } catch (...) {
    }
    return false;
  }
  Deliver(h, peer, ClientSocket);
  return true;
}

void TCustomUDTServer::Deliver(int32_t Handle, const sockaddr_in& Peer,
                               TUDTCustomIpClient& ClientSocket) {
  ClientSocket.AdoptAccepted(Handle, Peer, FListenDomain, FListenSockType,
                             FServerBlockMode == bmNonBlocking ? bmNonBlocking : bmBlocking);
  NotifyAccept(&ClientSocket);
}

void TCustomUDTServer::AcceptFailed(int32_t Listener) noexcept {
  try {
    ReportListenerFailure(Listener);
  } catch (...) {
  }
}

void TCustomUDTServer::DispatchFailed(const TUDTServerSocketThread* d, int32_t Code,
                                      const char* Desc) noexcept {
  try {
    const int32_t listener = ListenerFor(d);
    if (listener != -1) ReportListenerFailure(listener, Code, Desc);
  } catch (...) {
  }
}

void TCustomUDTServer::ReportListenerFailure(int32_t Listener) {
  const char* desc = nullptr;
  const int32_t code = udt_getlasterror2(&desc);
  // The description lives in UDT's per-thread error; the handler gets a copy.
  ReportListenerFailure(Listener, code, std::string(desc ? desc : "").c_str());
}

void TCustomUDTServer::ReportListenerFailure(int32_t Listener, int32_t Code, const char* Desc) {
  // A listener that another thread has closed and replaced since is not news.
  if (Handle() != Listener) return;
  if (OnError) OnError(this, Code, Desc);
  std::lock_guard<std::recursive_mutex> g(FOpenCloseLock);
  if (Handle() == Listener) Close();
}

bool TCustomUDTServer::Accept() {
  TUDTCustomIpClient client(nullptr);
  return Accept(client);
}

bool TCustomUDTServer::WaitForConnection(int32_t TimeOut) {
  bool readReady = false;
  bool exceptFlag = false;
  const bool ready = Select(&readReady, nullptr, &exceptFlag, TimeOut) && readReady && !exceptFlag;
  // UDT4 reports a listener closed during the wait as ready.
  return ready && Listening();
}

bool TCustomUDTServer::WaitForConnection() {
  // UDT4's select does not notice a listener closed by another thread for
  // seconds, so the wait is made of short slices that check Listening.
  while (Listening()) {
    if (WaitForConnection(kWaitSlice)) return true;
  }
  return false;
}

bool TCustomUDTServer::Select(bool* ReadReady, bool* WriteReady, bool* ExceptFlag,
                              int32_t TimeOut) {
  if (!Active()) return false;
  const int32_t h = Handle();
  // Sets of the call's own: a dispatcher that is winding down may still be in
  // here while its successor waits on the same server.
  UDSET rs = ReadReady ? UDSET_NEW() : nullptr;
  UDSET ws = WriteReady ? UDSET_NEW() : nullptr;
  if (rs) UDSET_SET(h, rs);
  if (ws) UDSET_SET(h, ws);
  TUDTTimeVal tv{TimeOut / 1000, (TimeOut % 1000) * 1000};
  bool result = false;
  try {
    int32_t r = udt_select(0, rs, ws, nullptr, TimeOut >= 0 ? &tv : nullptr);
    // A failure on a listener that has since been closed or replaced is not news.
    if (r == -1 && Active()) ReportListenerFailure(h);
    result = r > 0;
  } catch (...) {
    result = false;
  }
  if (ReadReady) *ReadReady = UDSET_ISSET(h, rs);
  if (WriteReady) *WriteReady = UDSET_ISSET(h, ws);
  if (ExceptFlag) *ExceptFlag = false;
  if (rs) UDSET_FREE(rs);
  if (ws) UDSET_FREE(ws);
  return result;
}
