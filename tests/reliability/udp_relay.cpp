#include "udp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <string>

#include "raw_udt.h"

namespace reliability_test {
namespace {

using Clock = std::chrono::steady_clock;
using test_support::Loopback;

int BoundUdpSocket() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s == -1) return -1;
  // Room for a burst of UDT's datagrams, so that the losses are ours, not the kernel's.
  int size = 8 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  sockaddr_in a = Loopback(0);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

uint16_t PortOf(int s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

struct Datagram {
  bool ToServer;
  std::string Bytes;
};

}  // namespace

TUdpRelay::TUdpRelay(uint16_t ServerPort, TLinkImpairment Impairment, uint32_t Seed)
    : FServerPort(ServerPort), FImpairment(Impairment), FSeed(Seed) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  FWakeRead = pipe[0];
  FWakeWrite = pipe[1];
  FFront = BoundUdpSocket();
  FBack = BoundUdpSocket();
  if (FFront == -1 || FBack == -1) return;
  FPort = PortOf(FFront);
  if (FPort == 0) return;
  FThread = std::thread([this] { Run(); });
}

TUdpRelay::~TUdpRelay() {
  FStop = true;
  if (FWakeWrite != -1) {
    const char c = 1;
    [[maybe_unused]] auto r = ::write(FWakeWrite, &c, 1);
  }
  if (FThread.joinable()) FThread.join();
  for (int fd : {FFront, FBack, FWakeRead, FWakeWrite})
    if (fd != -1) ::close(fd);
}

TRelayCounts TUdpRelay::Counts() const {
  std::lock_guard<std::mutex> g(FLock);
  return FCounts;
}

void TUdpRelay::Run() {
  std::mt19937 random(FSeed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  auto upTo = [&](int ms) { return ms <= 0 ? 0 : std::uniform_int_distribution<int>(0, ms)(random); };
  const auto start = Clock::now();
  const sockaddr_in server = Loopback(FServerPort);
  sockaddr_in client{};
  bool haveClient = false;
  // Datagrams waiting for their moment, in release order (equal times keep arrival order).
  std::multimap<Clock::time_point, Datagram> pending;
  TRelayCounts counts;
  char buffer[65536];

  auto send = [&](const Datagram& d) {
    const sockaddr_in& to = d.ToServer ? server : client;
    const int s = d.ToServer ? FBack : FFront;
    if (::sendto(s, d.Bytes.data(), d.Bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) >= 0)
      ++counts.Sent;
  };
  auto lossNow = [&](Clock::time_point now) {
    const TLinkImpairment& m = FImpairment;
    if (m.BurstPeriodMs > 0) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
      if (ms % m.BurstPeriodMs < m.BurstLengthMs) return m.BurstLoss;
    }
    return m.Loss;
  };
  auto take = [&](bool toServer, std::string bytes, Clock::time_point now) {
    ++counts.Received;
    if (!toServer && !FImpairment.ImpairReturn) {
      pending.emplace(now, Datagram{toServer, std::move(bytes)});
      return;
    }
    if (chance(random) < lossNow(now)) {
      ++counts.Dropped;
      return;
    }
    const TLinkImpairment& m = FImpairment;
    auto due = now + std::chrono::milliseconds(m.DelayMs + upTo(m.JitterMs));
    if (m.Reorder > 0 && chance(random) < m.Reorder) {
      ++counts.Reordered;
      due += std::chrono::milliseconds(1 + upTo(m.ReorderDelayMs));
    }
    if (m.Duplicate > 0 && chance(random) < m.Duplicate) {
      ++counts.Duplicated;
      pending.emplace(due + std::chrono::milliseconds(upTo(m.JitterMs)), Datagram{toServer, bytes});
    }
    pending.emplace(due, Datagram{toServer, std::move(bytes)});
  };

  while (!FStop) {
    auto now = Clock::now();
    while (!pending.empty() && pending.begin()->first <= now) {
      send(pending.begin()->second);
      pending.erase(pending.begin());
    }
    {
      std::lock_guard<std::mutex> g(FLock);
      FCounts = counts;
    }
    int timeout = 100;
    if (!pending.empty()) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(pending.begin()->first - now);
      timeout = static_cast<int>(std::max<long long>(1, std::min<long long>(100, wait.count() + 1)));
    }
    pollfd fds[3] = {{FFront, POLLIN, 0}, {FBack, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
    if (::poll(fds, 3, timeout) <= 0) continue;
    now = Clock::now();
    // Takes what is queued on both sockets, a bounded number per pass so both sides move.
    for (int i = 0; i < 256; ++i) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(FFront, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;
      if (!haveClient) {
        client = from;
        haveClient = true;
      }
      if (from.sin_port != client.sin_port || from.sin_addr.s_addr != client.sin_addr.s_addr)
        continue;  // one client per relay
      take(true, std::string(buffer, static_cast<size_t>(n)), now);
    }
    for (int i = 0; i < 256; ++i) {
      ssize_t n = ::recv(FBack, buffer, sizeof buffer, 0);
      if (n < 0) break;
      if (haveClient) take(false, std::string(buffer, static_cast<size_t>(n)), now);
    }
  }
}

}  // namespace reliability_test
