#include "connection_support.h"
#include "exchange_protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <cstring>

namespace connection_test {

namespace {

constexpr int kServeSlice = 20;  // ms a conversation waits for data before re-checking

}  // namespace

std::unique_ptr<TUDTClient> MakeClient(uint16_t port) {
  auto c = std::make_unique<TUDTClient>(nullptr);
  c->SetRemoteHost("127.0.0.1");
  c->SetRemotePort(std::to_string(port));
  return c;
}

std::unique_ptr<TUDTClient> ConnectClient(uint16_t port) {
  auto c = MakeClient(port);
  if (!c->Connect()) return nullptr;
  BoundBlockingCalls(c->Handle());
  return c;
}

::testing::AssertionResult Echo(TUDTCustomIpClient& client, const std::u16string& text) {
  if (client.SendString(text) == -1) return ::testing::AssertionFailure() << "send failed";
  if (!client.WaitForData(static_cast<int32_t>(kWaitBound.count())))
    return ::testing::AssertionFailure() << "no reply within " << kWaitBound.count() << " ms";
  std::u16string reply;
  if (client.ReceiveString(reply) == -1) return ::testing::AssertionFailure() << "receive failed";
  if (reply != protocol::Reply(text))
    return ::testing::AssertionFailure() << "unexpected reply of " << reply.size() << " units";
  return ::testing::AssertionSuccess();
}

bool AnswerOnce(TUDTCustomIpClient& c) {
  BoundBlockingCalls(c.Handle());
  std::u16string text;
  return c.ReceiveString(text) != -1 && c.SendString(protocol::Reply(text)) != -1;
}

bool PeerGone(TUDTCustomIpClient& client, std::chrono::milliseconds bound) {
  // WaitForData closes a connection whose peer has gone.
  return WaitUntil(
      [&] {
        if (client.Active()) client.WaitForData(20);
        return !client.Active();
      },
      bound);
}

// ---- ConversationHub ----

struct ConversationHub::State {
  mutable std::mutex Lock;
  mutable std::condition_variable Changed;
  std::vector<ConversationInfo> Conversations;
  std::vector<bool> Released;
  bool ReleaseAll = false;
  TBeforeServe BeforeServe;

  void Serve(TObject* sender, TUDTCustomIpClient* c);
  bool MustEnd(int index) const {
    std::lock_guard<std::mutex> g(Lock);
    return ReleaseAll || Released[index];
  }
  template <class Pred>
  bool WaitFor(std::chrono::milliseconds bound, Pred pred) const {
    std::unique_lock<std::mutex> g(Lock);
    return Changed.wait_for(g, bound, pred);
  }
};

void ConversationHub::State::Serve(TObject* sender, TUDTCustomIpClient* c) {
  ConversationInfo info;
  info.Sender = sender;
  info.Client = c;
  info.Worker = c->GetThreadObject();
  info.Thread = std::this_thread::get_id();
  info.RemoteHost = c->RemoteHost();
  info.RemotePort = c->RemotePort();
  info.Active = c->Active();
  info.Connected = c->Connected();
  info.BlockMode = c->BlockMode();
  info.WorkerTerminatedAtStart = info.Worker && info.Worker->Terminated();
  TBeforeServe before;
  int index;
  {
    std::lock_guard<std::mutex> g(Lock);
    index = info.Index = static_cast<int>(Conversations.size());
    Conversations.push_back(info);
    Released.push_back(false);
    before = BeforeServe;
    Changed.notify_all();
  }
  auto finish = [&] {
    std::lock_guard<std::mutex> g(Lock);
    Conversations[index].Ended = true;
    Conversations[index].Client = nullptr;
    Changed.notify_all();
  };
  try {
    if (before) before(index, c);
  } catch (...) {
    finish();
    throw;
  }
  BoundBlockingCalls(c->Handle());
  while (!MustEnd(index)) {
    if (TUDTClientSocketThread* w = c->GetThreadObject(); w && w->Terminated()) {
      std::lock_guard<std::mutex> g(Lock);
      if (!Conversations[index].SawWorkerTerminated) {
        Conversations[index].SawWorkerTerminated = true;
        Changed.notify_all();
      }
    }
    if (c->WaitForData(kServeSlice)) {
      std::u16string text;
      if (c->ReceiveString(text) == -1) break;
      if (c->SendString(protocol::Reply(text)) == -1) break;
    } else if (!c->Active()) {
      break;
    }
  }
  finish();
}

ConversationHub::ConversationHub() : FState(std::make_shared<State>()) {}

TSocketAcceptEvent ConversationHub::Handler() const {
  std::shared_ptr<State> st = FState;
  return [st](TObject* Sender, TUDTCustomIpClient* ClientSocket) { st->Serve(Sender, ClientSocket); };
}

void ConversationHub::SetBeforeServe(TBeforeServe f) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->BeforeServe = std::move(f);
}

int ConversationHub::Count() const {
  std::lock_guard<std::mutex> g(FState->Lock);
  return static_cast<int>(FState->Conversations.size());
}

bool ConversationHub::WaitForCount(int n, std::chrono::milliseconds bound) const {
  return FState->WaitFor(bound, [&] { return static_cast<int>(FState->Conversations.size()) >= n; });
}

bool ConversationHub::WaitEnded(int index, std::chrono::milliseconds bound) const {
  return FState->WaitFor(bound, [&] {
    return index < static_cast<int>(FState->Conversations.size()) &&
           FState->Conversations[index].Ended;
  });
}

bool ConversationHub::WaitSawTerminated(int index, std::chrono::milliseconds bound) const {
  return FState->WaitFor(bound, [&] {
    return index < static_cast<int>(FState->Conversations.size()) &&
           FState->Conversations[index].SawWorkerTerminated;
  });
}

ConversationInfo ConversationHub::Info(int index) const {
  std::lock_guard<std::mutex> g(FState->Lock);
  if (index < 0 || index >= static_cast<int>(FState->Conversations.size())) return {};
  return FState->Conversations[index];
}

int ConversationHub::IndexOfPeerPort(uint16_t port) const {
  std::lock_guard<std::mutex> g(FState->Lock);
  for (const auto& c : FState->Conversations)
    if (c.RemotePort == std::to_string(port)) return c.Index;
  return -1;
}

void ConversationHub::Release(int index) {
  std::lock_guard<std::mutex> g(FState->Lock);
  if (index >= 0 && index < static_cast<int>(FState->Released.size())) FState->Released[index] = true;
}

void ConversationHub::ReleaseAll() {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->ReleaseAll = true;
}

// ---- ConnectionTest ----

void ConnectionTest::SetUp() {
  ASSERT_TRUE(TThread::WaitForAllThreads(kWaitBound))
      << TThread::RunningThreads() << " threads of an earlier test are still running";
}

void ConnectionTest::TearDown() {
  Server.reset();
  Hub.ReleaseAll();
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound))
      << TThread::RunningThreads() << " dispatcher or worker threads did not finish";
}

void ConnectionTest::MakeServer() {
  Server = std::make_unique<TUDTServer>(nullptr);
  Server->OnAccept = Hub.Handler();
  Server->SetLocalHost("127.0.0.1");
  Server->SetLocalPort("0");
}

}  // namespace connection_test
