#include "wan_peers.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <udt/ccc.h>
#include <udt/udt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace bench {
namespace {

constexpr int kSegmentSize = 1052;
// A whole number of UDT4 payloads (1008 bytes), so its send buffer's count of
// packets converts to bytes exactly.
constexpr int kChunk = 1008 * 64;

// UDT4 with a constant sending period and a window that never shrinks: losses
// and time-outs are resent, nothing slows down.
class TFixedRate : public CCC {
 public:
  static inline double Mbit = 0;
  void init() override {
    m_dPktSndPeriod = kSegmentSize * 8 / Mbit;  // microseconds per packet
    m_dCWndSize = 25600;
  }
  void onACK(int32_t) override {}
  void onLoss(const int32_t*, int) override {}
  void onTimeout() override {}
};

sockaddr_in Address(const std::string& Host, uint16_t Port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(Port);
  if (!Host.empty()) inet_pton(AF_INET, Host.c_str(), &a.sin_addr);
  return a;
}

// The two transports behind one set of calls.
struct TUdt {
  int S;
  int Send(const char* p, int n) { return UDT::send(S, p, n, 0); }
  int Recv(char* p, int n) { return UDT::recv(S, p, n, 0); }
  // A send or receive that hit its time-out, to be tried again.
  static bool TimedOut() { return UDT::getlasterror().getErrorCode() == 6003; }
};
struct TTcp {
  int S;
  int Send(const char* p, int n) { return static_cast<int>(::send(S, p, static_cast<size_t>(n), MSG_NOSIGNAL)); }
  int Recv(char* p, int n) { return static_cast<int>(::recv(S, p, static_cast<size_t>(n), 0)); }
  static bool TimedOut() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
};

template <class Io>
bool RecvAll(Io io, char* p, int64_t n, bool keepData = true) {
  std::vector<char> sink(keepData ? 0 : kChunk);
  while (n > 0) {
    const int want = static_cast<int>(std::min<int64_t>(n, keepData ? n : kChunk));
    const int r = io.Recv(keepData ? p : sink.data(), want);
    if (r <= 0) {
      if (r < 0 && Io::TimedOut()) continue;
      return false;
    }
    if (keepData) p += r;
    n -= r;
  }
  return true;
}

template <class Io>
void Serve(Io io) {
  int64_t size = 0;
  if (RecvAll(io, reinterpret_cast<char*>(&size), 8) && RecvAll(io, nullptr, size, false)) {
    const char done = 1;
    io.Send(&done, 1);
    char rest;
    io.Recv(&rest, 1);  // until the sender closes
  }
}

// Sends Size bytes in chunks until done or the cap; returns the bytes handed
// over and whether all went.
template <class Io>
int64_t SendStream(Io io, const TWanSend& Send, Clock::time_point Start, bool& Complete) {
  std::vector<char> chunk(kChunk, 'w');
  int64_t handed = 0;
  Complete = io.Send(reinterpret_cast<const char*>(&Send.Size), 8) == 8;
  while (Complete && handed < Send.Size && SecondsSince(Start) < Send.CapSeconds) {
    const int n = static_cast<int>(std::min<int64_t>(kChunk, Send.Size - handed));
    const int r = io.Send(chunk.data(), n);
    if (r < 0 && Io::TimedOut()) continue;
    if (r <= 0) Complete = false;
    else handed += r;
  }
  Complete = Complete && handed == Send.Size;
  // The receiver's byte says everything arrived; the cap still holds.
  char done = 0;
  while (Complete && SecondsSince(Start) < Send.CapSeconds) {
    const int r = io.Recv(&done, 1);
    if (r == 1) break;
    if (r < 0 && Io::TimedOut()) continue;
    Complete = false;
  }
  Complete = Complete && done == 1;
  return handed;
}

void Print(bool Complete, double Seconds, int64_t Bytes, double RttMs, int64_t Retransmits,
           int64_t Loss) {
  std::printf("complete=%d\nseconds=%.6f\nbytes=%lld\nmbit=%.4f\nrtt_ms=%.3f\nretransmits=%lld\nloss=%lld\n",
              Complete ? 1 : 0, Seconds, static_cast<long long>(Bytes),
              Seconds > 0 ? static_cast<double>(Bytes) * 8 / Seconds / 1e6 : 0, RttMs,
              static_cast<long long>(Retransmits), static_cast<long long>(Loss));
  std::fflush(stdout);
}

int UdtSocket() {
  const int s = UDT::socket(AF_INET, SOCK_STREAM, 0);
  int mss = kSegmentSize;
  UDT::setsockopt(s, 0, UDT_MSS, &mss, sizeof mss);
  return s;
}

int SendUdt(const TWanSend& Send) {
  UDT::startup();
  const int s = UdtSocket();
  if (Send.FixedMbit > 0) {
    TFixedRate::Mbit = Send.FixedMbit;
    CCCFactory<TFixedRate> factory;
    UDT::setsockopt(s, 0, UDT_CC, &factory, sizeof factory);
  }
  const int timeoutMs = 500;
  UDT::setsockopt(s, 0, UDT_SNDTIMEO, &timeoutMs, sizeof timeoutMs);
  UDT::setsockopt(s, 0, UDT_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
  sockaddr_in peer = Address(Send.Host, Send.Port);
  if (UDT::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == UDT::ERROR) {
    std::fprintf(stderr, "udt connect: %s\n", UDT::getlasterror().getErrorMessage());
    return 1;
  }
  const auto start = Clock::now();
  bool complete = false;
  int64_t delivered = SendStream(TUdt{s}, Send, start, complete);
  const double seconds = SecondsSince(start);
  if (!complete) {
    // What UDT4 still holds was not acknowledged yet.
    int32_t unacked = 0;
    int len = sizeof unacked;
    UDT::getsockopt(s, 0, UDT_SNDDATA, &unacked, &len);
    delivered = std::max<int64_t>(0, delivered - static_cast<int64_t>(unacked) * 1008);
  }
  UDT::TRACEINFO trace{};
  UDT::perfmon(s, &trace, false);
  Print(complete, seconds, delivered, trace.msRTT, trace.pktRetransTotal, trace.pktSndLossTotal);
  linger none{0, 0};
  UDT::setsockopt(s, 0, UDT_LINGER, &none, sizeof none);
  UDT::close(s);
  UDT::cleanup();
  return complete ? 0 : 3;
}

int SendTcp(const TWanSend& Send) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::setsockopt(s, IPPROTO_TCP, TCP_CONGESTION, Send.Tcp.c_str(),
                   static_cast<socklen_t>(Send.Tcp.size())) != 0) {
    std::fprintf(stderr, "TCP_CONGESTION %s: %s\n", Send.Tcp.c_str(), std::strerror(errno));
    return 1;
  }
  timeval timeout{0, 500000};
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in peer = Address(Send.Host, Send.Port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    std::fprintf(stderr, "tcp connect: %s\n", std::strerror(errno));
    return 1;
  }
  const auto start = Clock::now();
  bool complete = false;
  int64_t delivered = SendStream(TTcp{s}, Send, start, complete);
  const double seconds = SecondsSince(start);
  if (!complete) {
    int unacked = 0;
    ::ioctl(s, SIOCOUTQ, &unacked);
    delivered = std::max<int64_t>(0, delivered - unacked);
  }
  tcp_info info{};
  socklen_t len = sizeof info;
  ::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len);
  char used[16] = {};
  len = sizeof used;
  ::getsockopt(s, IPPROTO_TCP, TCP_CONGESTION, used, &len);
  Print(complete, seconds, delivered, info.tcpi_rtt / 1e3, info.tcpi_total_retrans, info.tcpi_lost);
  std::printf("congestion=%s\n", used);
  ::close(s);
  return complete ? 0 : 3;
}

}  // namespace

int WanServe(bool Tcp, uint16_t Port) {
  sockaddr_in a = Address("", Port);
  if (Tcp) {
    const int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l, 8) != 0) return 1;
    std::printf("ready=1\n");
    std::fflush(stdout);
    for (;;) {
      const int s = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0) continue;
      std::thread([s] {
        Serve(TTcp{s});
        ::close(s);
      }).detach();
    }
  }
  UDT::startup();
  const int l = UdtSocket();
  if (UDT::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR ||
      UDT::listen(l, 8) == UDT::ERROR)
    return 1;
  std::printf("ready=1\n");
  std::fflush(stdout);
  for (;;) {
    sockaddr_in peer;
    int len = sizeof peer;
    const int s = UDT::accept(l, reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == UDT::INVALID_SOCK) return 1;
    std::thread([s] {
      Serve(TUdt{s});
      UDT::close(s);
    }).detach();
  }
}

int WanSend(const TWanSend& Send) { return Send.Tcp.empty() ? SendUdt(Send) : SendTcp(Send); }

}  // namespace bench
