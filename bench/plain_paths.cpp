#include "plain_paths.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "exchange_protocol.h"

namespace bench {
namespace {

// The segment size of every UDT socket and the bytes per file send and
// receive; PlainTunedFileRun changes them for one run.
int g_SegmentSize = 1052;
int g_Piece = protocol::kPieceSize;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// The two transports behind one small set of calls, so the file path is
// written once for UDT and TCP.
struct UdtIo {
  static bool Send(int s, const char* p, int n) {
    while (n > 0) {
      int r = UDT::send(s, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= r;
    }
    return true;
  }
  static int Recv(int s, char* p, int n) {
    int r = UDT::recv(s, p, n, 0);
    return r == UDT::ERROR ? -1 : r;
  }
  static void Close(int s) { UDT::close(s); }
};

struct TcpIo {
  static bool Send(int s, const char* p, int n) {
    while (n > 0) {
      ssize_t r = ::send(s, p, static_cast<size_t>(n), MSG_NOSIGNAL);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<int>(r);
    }
    return true;
  }
  static int Recv(int s, char* p, int n) {
    ssize_t r = ::recv(s, p, static_cast<size_t>(n), 0);
    return r <= 0 ? -1 : static_cast<int>(r);
  }
  static void Close(int s) { ::close(s); }
};

template <class Io>
bool RecvExact(int s, char* p, int n) {
  while (n > 0) {
    int r = Io::Recv(s, p, n);
    if (r <= 0) return false;
    p += r;
    n -= r;
  }
  return true;
}

template <class Io>
bool SendFrame(int s, const std::u16string& text) {
  // Count and characters go as two sends, as the product's frames do.
  const std::string f = protocol::EncodeStringFrame(text);
  return Io::Send(s, f.data(), 4) && Io::Send(s, f.data() + 4, static_cast<int>(f.size() - 4));
}

template <class Io>
bool RecvFrame(int s, std::u16string& text) {
  int32_t count;
  if (!RecvExact<Io>(s, reinterpret_cast<char*>(&count), 4) || count < 0 || count > (1 << 20))
    return false;
  text.resize(static_cast<size_t>(count));
  return RecvExact<Io>(s, reinterpret_cast<char*>(text.data()), count * 2);
}

template <class Io>
bool Reply(int s) {
  std::u16string m;
  return RecvFrame<Io>(s, m) && SendFrame<Io>(s, protocol::Reply(m));
}

// The receiving side of one file after its request has been answered: size,
// name, then the data into a 2048-byte buffer, each piece written at once.
template <class Io>
bool ReceiveFile(int s, const std::string& folder, const std::string& name) {
  int32_t size;
  std::u16string ignoredName;
  if (!RecvExact<Io>(s, reinterpret_cast<char*>(&size), 4) || !RecvFrame<Io>(s, ignoredName))
    return false;
  const int fd = ::open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<char> data(static_cast<size_t>(g_Piece));
  char* buffer = data.data();
  int32_t stored = 0;
  bool ok = true;
  while (ok && stored < size) {
    int n = Io::Recv(s, buffer, std::min(g_Piece, size - stored));
    if (n <= 0) break;
    ok = ::write(fd, buffer, static_cast<size_t>(n)) == n;
    stored += n;
  }
  ::close(fd);
  return ok && stored == size;
}

// A conversation as the bench's server holds it: wait in select, probe with a
// zero-length receive, read a frame, answer it; a file request is followed by
// the file, stored in folder under the name "bench.bin" (refused when folder is
// empty). Ends when the peer goes.
void ServeConversation(int s, const std::string& folder) {
  for (;;) {
    UDT::UDSET rs;
    UD_ZERO(&rs);
    UD_SET(s, &rs);
    if (UDT::select(0, &rs, nullptr, nullptr, nullptr) == UDT::ERROR) break;
    char probe;
    std::u16string m;
    if (UDT::recv(s, &probe, 0, 0) == UDT::ERROR || !RecvFrame<UdtIo>(s, m) ||
        !SendFrame<UdtIo>(s, protocol::Reply(m)))
      break;
    if (protocol::IsFileRequest(m) && (folder.empty() || !ReceiveFile<UdtIo>(s, folder, "bench.bin"))) break;
  }
  UDT::close(s);
}

// The receiving side of one file transfer and the closing exchange.
template <class Io>
bool ServeFile(int s, const std::string& folder, const std::string& name) {
  return Reply<Io>(s) && ReceiveFile<Io>(s, folder, name) && Reply<Io>(s);
}

// The sending side: request, reply, size, name, pieces, closing exchange.
template <class Io>
bool SendFile(int s, const std::string& source, int64_t size) {
  std::u16string reply;
  if (!SendFrame<Io>(s, std::u16string(protocol::kFileRequest)) || !RecvFrame<Io>(s, reply)) return false;
  const int32_t size32 = static_cast<int32_t>(size);
  if (!Io::Send(s, reinterpret_cast<const char*>(&size32), 4) || !SendFrame<Io>(s, u"bench.bin"))
    return false;
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> data(static_cast<size_t>(g_Piece));
  char* piece = data.data();
  int64_t sent = 0;
  bool ok = true;
  while (ok && sent < size) {
    ssize_t n = ::read(fd, piece, static_cast<size_t>(std::min<int64_t>(g_Piece, size - sent)));
    if (n <= 0) break;
    ok = Io::Send(s, piece, static_cast<int>(n));
    sent += n;
  }
  ::close(fd);
  return ok && sent == size && SendFrame<Io>(s, u"done") && RecvFrame<Io>(s, reply);
}

int UdtSocket() {
  int s = UDT::socket(AF_INET, SOCK_STREAM, 0);
  int mss = g_SegmentSize;
  UDT::setsockopt(s, 0, UDT_MSS, &mss, sizeof mss);
  return s;
}

int UdtListener(uint16_t& port) {
  int l = UdtSocket();
  sockaddr_in a = Loopback(0);
  if (UDT::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR ||
      UDT::listen(l, 10) == UDT::ERROR)
    return -1;
  int len = sizeof a;
  UDT::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return l;
}

int UdtConnect(uint16_t port) {
  int s = UdtSocket();
  sockaddr_in a = Loopback(port);
  if (UDT::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR) {
    UDT::close(s);
    return -1;
  }
  return s;
}

Report Timed(double seconds, double cpu, bool ok, int64_t bytes) {
  Report r;
  r["ok"] = ok ? "1" : "0";
  r["seconds"] = std::to_string(seconds);
  r["cpu"] = std::to_string(cpu);
  r["mbps"] = std::to_string(bytes / 1e6 / seconds);
  return r;
}

}  // namespace

Report PlainFileRun(const std::string& source, const std::string& folder, int64_t size) {
  uint16_t port = 0;
  const int listener = UdtListener(port);
  std::atomic<bool> served{false};
  std::thread server([&] {
    sockaddr_in peer;
    int len = sizeof peer;
    int s = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == UDT::INVALID_SOCK) return;
    served = ServeFile<UdtIo>(s, folder, "bench.bin");
    UDT::close(s);
  });
  Report r = PlainFileClient(port, source, size);
  server.join();
  UDT::close(listener);
  if (!served) r["ok"] = "0";
  return r;
}

Report PlainTunedFileRun(const std::string& source, const std::string& folder, int64_t size,
                         int mss, int block) {
  const int savedMss = std::exchange(g_SegmentSize, mss);
  const int savedPiece = std::exchange(g_Piece, block);
  Report r = PlainFileRun(source, folder, size);
  g_SegmentSize = savedMss;
  g_Piece = savedPiece;
  return r;
}

Report TcpFileRun(const std::string& source, const std::string& folder, int64_t size) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listener, 10);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::atomic<bool> served{false};
  std::thread server([&] {
    int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) return;
    served = ServeFile<TcpIo>(s, folder, "bench-tcp.bin");
    ::close(s);
  });
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  const bool sent = connected && SendFile<TcpIo>(s, source, size);
  const double seconds = SecondsSince(t0);
  const double cpu = ProcessCpuSeconds() - cpu0;
  ::close(s);
  server.join();
  ::close(listener);
  return Timed(seconds, cpu, sent && served, size);
}

Report PlainTextRun(int roundTrips, bool clientSelects) {
  uint16_t port = 0;
  const int listener = UdtListener(port);
  std::thread server([&] {
    sockaddr_in peer;
    int len = sizeof peer;
    int s = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == UDT::INVALID_SOCK) return;
    ServeConversation(s, {});
  });
  const int s = UdtConnect(port);
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(roundTrips));
  bool ok = s >= 0;
  std::u16string reply;
  for (int i = 0; ok && i < roundTrips; ++i) {
    const auto t0 = Clock::now();
    ok = SendFrame<UdtIo>(s, u"12:00:00: edtContent");
    if (ok && clientSelects) {
      // As the client window once waited for its reply: select first, up to 100 ms.
      UDT::UDSET rs;
      UD_ZERO(&rs);
      UD_SET(s, &rs);
      timeval tv{0, 100000};
      UDT::select(0, &rs, nullptr, nullptr, &tv);
    }
    ok = ok && RecvFrame<UdtIo>(s, reply);
    micros.push_back(SecondsSince(t0) * 1e6);
  }
  if (s >= 0) UDT::close(s);
  server.join();
  UDT::close(listener);
  const Summary sum = Summarize(micros);
  Report r;
  r["ok"] = ok && reply == protocol::Reply(u"12:00:00: edtContent") ? "1" : "0";
  r["median_us"] = std::to_string(sum.median);
  r["p99_us"] = std::to_string(sum.p99);
  return r;
}

Report PlainMultiRun(const std::string& source, const std::string& folder, int clients,
                     int64_t bytesEach) {
  uint16_t port = 0;
  const int listener = UdtListener(port);
  std::atomic<int> served{0};
  std::vector<std::thread> conversations;
  std::thread acceptor([&] {
    for (int i = 0; i < clients; ++i) {
      sockaddr_in peer;
      int len = sizeof peer;
      int s = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
      if (s == UDT::INVALID_SOCK) return;
      conversations.emplace_back([&, s, i] {
        if (ServeFile<UdtIo>(s, folder, "bench" + std::to_string(i) + ".bin")) ++served;
        UDT::close(s);
      });
    }
  });
  std::vector<int> sockets;
  for (int i = 0; i < clients; ++i) sockets.push_back(UdtConnect(port));
  std::atomic<int> sent{0};
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  std::vector<std::thread> senders;
  for (int s : sockets)
    senders.emplace_back([&, s] {
      if (s >= 0 && SendFile<UdtIo>(s, source, bytesEach)) ++sent;
    });
  for (auto& t : senders) t.join();
  const double seconds = SecondsSince(t0);
  const double cpu = ProcessCpuSeconds() - cpu0;
  for (int s : sockets)
    if (s >= 0) UDT::close(s);
  acceptor.join();
  for (auto& t : conversations) t.join();
  UDT::close(listener);
  return Timed(seconds, cpu, sent == clients && served == clients, bytesEach * clients);
}

Report PlainFileClient(uint16_t port, const std::string& source, int64_t size) {
  const int s = UdtConnect(port);
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  const bool sent = s >= 0 && SendFile<UdtIo>(s, source, size);
  const double seconds = SecondsSince(t0);
  const double cpu = ProcessCpuSeconds() - cpu0;
  if (s >= 0) UDT::close(s);
  return Timed(seconds, cpu, sent, size);
}

int PlainServerProcess(uint16_t port, const std::string& folder) {
  int listener = UdtSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (UDT::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR ||
      UDT::listen(listener, 5) == UDT::ERROR)
    return 1;
  std::printf("ready=1\n");
  std::fflush(stdout);
  for (;;) {
    sockaddr_in peer;
    int len = sizeof peer;
    int s = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == UDT::INVALID_SOCK) return 1;
    std::thread([s, folder] { ServeConversation(s, folder); }).detach();
  }
}

}  // namespace bench
