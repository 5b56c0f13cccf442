#include "udt_peer.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace transport_test {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

void BoundBlockingCalls(UDTSOCKET s) {
  int ms = static_cast<int>(kWaitBound.count());
  UDT::setsockopt(s, 0, UDT_RCVTIMEO, &ms, sizeof ms);
  UDT::setsockopt(s, 0, UDT_SNDTIMEO, &ms, sizeof ms);
}

RawSocket& RawSocket::operator=(RawSocket&& o) noexcept {
  if (this != &o) {
    Close();
    FSock = o.FSock.exchange(UDT::INVALID_SOCK);
  }
  return *this;
}

void RawSocket::Close() {
  UDTSOCKET s = FSock.exchange(UDT::INVALID_SOCK);
  if (s != UDT::INVALID_SOCK) UDT::close(s);
}

bool RawSocket::SendAll(const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    int r = UDT::send(Get(), data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (r <= 0) return false;
    sent += static_cast<size_t>(r);
  }
  return true;
}

std::string RawSocket::RecvExactly(size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    int r = UDT::recv(Get(), out.data() + got, static_cast<int>(n - got), 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

bool RawSocket::SendMsg(const std::string& data) {
  return UDT::sendmsg(Get(), data.data(), static_cast<int>(data.size()), -1, false) ==
         static_cast<int>(data.size());
}

std::optional<std::string> RawSocket::RecvMsg(size_t capacity) {
  UDT::UDSET rs;
  UD_ZERO(&rs);
  UD_SET(Get(), &rs);
  timeval tv{static_cast<time_t>(kWaitBound.count() / 1000), 0};
  if (UDT::select(0, &rs, nullptr, nullptr, &tv) < 1) return std::nullopt;
  std::string out(capacity, '\0');
  int r = UDT::recvmsg(Get(), out.data(), static_cast<int>(capacity));
  if (r < 0) return std::nullopt;
  out.resize(static_cast<size_t>(r));
  return out;
}

RawListener::RawListener(int type) {
  FSock = UDT::socket(AF_INET, type, 0);
  if (FSock == UDT::INVALID_SOCK) return;
  sockaddr_in a = Loopback(0);
  if (UDT::bind(FSock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
  int len = sizeof a;
  if (UDT::getsockname(FSock, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
  if (UDT::listen(FSock, 5) != 0) return;
  FPort = ntohs(a.sin_port);
}

RawListener::~RawListener() {
  if (FSock != UDT::INVALID_SOCK) UDT::close(FSock);
}

RawSocket RawListener::Accept() {
  UDT::UDSET rs;
  UD_ZERO(&rs);
  UD_SET(FSock, &rs);
  timeval tv{static_cast<time_t>(kWaitBound.count() / 1000), 0};
  if (UDT::select(0, &rs, nullptr, nullptr, &tv) < 1) return RawSocket();
  sockaddr_in peer;
  int len = sizeof peer;
  return RawSocket(UDT::accept(FSock, reinterpret_cast<sockaddr*>(&peer), &len));
}

namespace {

// One byte from one end to the other, the receive bounded by a select.
bool PassByte(UDTSOCKET from, UDTSOCKET to, bool messages) {
  char c = 'p';
  int r = messages ? UDT::sendmsg(from, &c, 1, -1, false) : UDT::send(from, &c, 1, 0);
  if (r != 1) return false;
  UDT::UDSET rs;
  UD_ZERO(&rs);
  UD_SET(to, &rs);
  timeval tv{static_cast<time_t>(kWaitBound.count() / 1000), 0};
  if (UDT::select(0, &rs, nullptr, nullptr, &tv) < 1) return false;
  r = messages ? UDT::recvmsg(to, &c, 1) : UDT::recv(to, &c, 1, 0);
  return r == 1 && c == 'p';
}

}  // namespace

::testing::AssertionResult Settle(UDTSOCKET a, UDTSOCKET b, bool messages) {
  if (!PassByte(a, b, messages)) return ::testing::AssertionFailure() << "no byte from a to b";
  if (!PassByte(b, a, messages)) return ::testing::AssertionFailure() << "no byte from b to a";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ConnectToRawPeer(TUDTBaseSocket& c, RawListener& listener,
                                            RawSocket& peer) {
  if (!listener.Ok()) return ::testing::AssertionFailure() << "raw listener did not start";
  if (!c.Active()) c.Open();
  if (!c.Active()) return ::testing::AssertionFailure() << "component did not open";
  sockaddr_in to = Loopback(listener.Port());
  if (udt_connect(c.Handle(), &to, sizeof to) != 0) {
    const char* desc = nullptr;
    int code = udt_getlasterror2(&desc);
    return ::testing::AssertionFailure() << "connect failed: " << code << " " << desc;
  }
  peer = listener.Accept();
  if (!peer.Valid()) return ::testing::AssertionFailure() << "no connection to accept";
  if (c.SockType() == stStream) {
    BoundBlockingCalls(peer.Get());
    BoundBlockingCalls(c.Handle());
  }
  return Settle(c.Handle(), peer.Get(), c.SockType() == stDgram);
}

Watchdog::Watchdog(RawSocket& peer) {
  FThread = std::thread([this, &peer] {
    std::unique_lock<std::mutex> lock(FMutex);
    if (!FCond.wait_for(lock, kWaitBound, [this] { return FDisarmed; })) {
      FFired = true;
      peer.Close();
    }
  });
}

void Watchdog::Disarm() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FDisarmed = true;
  }
  FCond.notify_all();
  if (FThread.joinable()) FThread.join();
}

void EventLog::Attach(TUDTBaseSocket& s) {
  s.OnCreateHandle = [this](TObject*) { FEntries.push_back("create"); };
  s.OnDestroyHandle = [this](TObject*) { FEntries.push_back("destroy"); };
  s.OnError = [this](TObject*, int32_t code, const char* desc) {
    FEntries.push_back("error:" + std::to_string(code));
    FErrorCodes.push_back(code);
    FErrorTexts.push_back(desc ? desc : "<null>");
  };
  s.OnSend = [this](TObject*, void*, int32_t& len) {
    FEntries.push_back("send:" + std::to_string(len));
  };
  s.OnReceive = [this](TObject*, void*, int32_t& len) {
    FEntries.push_back("recv:" + std::to_string(len));
  };
}

int EventLog::Count(const std::string& prefix) const {
  int n = 0;
  for (const auto& e : FEntries)
    if (e.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

void EventLog::Clear() {
  FEntries.clear();
  FErrorCodes.clear();
  FErrorTexts.clear();
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    if (!out.empty()) out += ' ';
    out += b;
  }
  return out;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u ^ seed;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x & 0xFF);
  }
  return s;
}

void ConnectedSocketTest::Connect(TUDTSocketType type) {
  FSocket.SetDomain(pfINET);
  FSocket.SetSockType(type);
  FListener = std::make_unique<RawListener>(type == stStream ? SOCK_STREAM : SOCK_DGRAM);
  ASSERT_TRUE(ConnectToRawPeer(FSocket, *FListener, FPeer));
  FDog = std::make_unique<Watchdog>(FPeer);
  FLog.Attach(FSocket);
}

void ConnectedSocketTest::TearDown() {
  if (FDog) {
    FDog->Disarm();
    EXPECT_FALSE(FDog->Fired()) << "the test hung until the watchdog closed the peer";
  }
}

}  // namespace transport_test
