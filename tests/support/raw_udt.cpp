#include "raw_udt.h"

#include <cstring>

#include "ports.h"

namespace test_support {

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
  if (UDT::listen(FSock, 5) != 0) return;
  FPort = LocalPortOf(FSock);
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

}  // namespace test_support
