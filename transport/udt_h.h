// The flat binding: the only way the socket components reach UDT4.
// Every entry point is a thin, noexcept call into the library; failures come
// back as -1 and their detail is fetched with udt_getlasterror2 on the same thread.
#pragma once

#include <cstdint>
#include <functional>

struct sockaddr_in;

using UDTSOCKET_H = int32_t;  // a UDT socket handle, -1 for none
using UDSET = void*;          // opaque handle to a UDT socket set, nullptr for none

// The time-out record of udt_select: whole seconds, then microseconds.
struct TUDTTimeVal {
  int32_t tv_sec;
  int32_t tv_usec;
};

int32_t udt_socket(int32_t af, int32_t type, int32_t protocol) noexcept;
int32_t udt_bind(int32_t u, const sockaddr_in* name, int32_t namelen) noexcept;
int32_t udt_listen(int32_t u, int32_t backlog) noexcept;
int32_t udt_accept(int32_t u, sockaddr_in* addr, int32_t* addrlen) noexcept;
int32_t udt_connect(int32_t u, const sockaddr_in* name, int32_t namelen) noexcept;
int32_t udt_close(int32_t u) noexcept;
int32_t udt_setsockopt(int32_t u, int32_t level, int32_t optname, const void* optval,
                       int32_t optlen) noexcept;
// Reads an option; optlen holds the buffer's size on entry and the value's on return.
int32_t udt_getsockopt(int32_t u, int32_t level, int32_t optname, void* optval,
                       int32_t* optlen) noexcept;
// The segment size of u, the size of its send buffer in bytes, and the packets
// waiting in that buffer.
int32_t udt_getmss(int32_t u, int32_t* mss) noexcept;
int32_t udt_getsndbuf(int32_t u, int32_t* bytes) noexcept;
int32_t udt_getsnddata(int32_t u, int32_t* packets) noexcept;
// Sets whether, and for how many seconds, a close of u waits for its peer to
// acknowledge the data handed over.
int32_t udt_setlinger(int32_t u, int32_t onoff, int32_t seconds) noexcept;
// Sets how long a receive on u waits for data, in ms; -1 (UDT's default)
// waits for ever. A receive that times out fails with 6003.
int32_t udt_setrcvtimeo(int32_t u, int32_t milliseconds) noexcept;
// The link options of u, each one UDT4 option: UDT_SNDBUF, UDT_RCVBUF,
// UDP_SNDBUF, UDP_RCVBUF (bytes), UDT_FC (packets), UDT_MAXBW (bytes/s, -1 for
// no limit). UDT4 takes the buffers only before bind and the flow window only
// before connect; see ApplyLinkSettings for the order.
int32_t udt_setsndbuf(int32_t u, int32_t bytes) noexcept;
int32_t udt_setrcvbuf(int32_t u, int32_t bytes) noexcept;
int32_t udt_setudpsndbuf(int32_t u, int32_t bytes) noexcept;
int32_t udt_setudprcvbuf(int32_t u, int32_t bytes) noexcept;
int32_t udt_setfc(int32_t u, int32_t packets) noexcept;
int32_t udt_setmaxbw(int32_t u, int64_t bytesPerSecond) noexcept;
int32_t udt_getrcvbuf(int32_t u, int32_t* bytes) noexcept;
int32_t udt_getudpsndbuf(int32_t u, int32_t* bytes) noexcept;
int32_t udt_getudprcvbuf(int32_t u, int32_t* bytes) noexcept;
int32_t udt_getfc(int32_t u, int32_t* packets) noexcept;
int32_t udt_getmaxbw(int32_t u, int64_t* bytesPerSecond) noexcept;
// Gives u's connections the fixed-rate congestion control at mbps (UDT_CC);
// before connect or listen.
int32_t udt_setfixedrate(int32_t u, double mbps) noexcept;
// The rate of the fixed-rate control of the connected u, or 0 when it runs UDT4's own.
int32_t udt_getfixedrate(int32_t u, double* mbps) noexcept;
int32_t udt_send(int32_t u, const void* buf, int32_t len, int32_t flags) noexcept;
int32_t udt_recv(int32_t u, void* buf, int32_t len, int32_t flags) noexcept;
int32_t udt_sendmsg(int32_t u, const void* buf, int32_t len, int32_t ttl, int32_t inorder) noexcept;
int32_t udt_recvmsg(int32_t u, void* buf, int32_t len) noexcept;
int32_t udt_select(int32_t nfds, UDSET readfds, UDSET writefds, UDSET exceptfds,
                   const TUDTTimeVal* timeout) noexcept;
UDSET udt_NEW_UDSET() noexcept;
void udt_DEL_UDSET(UDSET uset) noexcept;
void udt_UD_ZERO(UDSET uset) noexcept;
void udt_UD_SET(UDSET uset, int32_t u) noexcept;
void udt_UD_CLR(UDSET uset, int32_t u) noexcept;
int32_t udt_UD_ISSET(UDSET uset, int32_t u) noexcept;
// The calling thread's last UDT error code; *desc receives its NUL-terminated
// description, valid until this thread's next UDT call.
int32_t udt_getlasterror2(const char** desc) noexcept;

// UDT4's performance record of one connection (its TRACEINFO), field for field.
// The totals run from the connection's start; the interval fields (rates, the
// counts without "Total") run from the last read that cleared them; the
// instant fields are the connection's state now.
struct TUDTTraceInfo {
  int64_t msTimeStamp;         // time since the UDT entity started, ms
  int64_t pktSentTotal;        // data packets sent, retransmissions included
  int64_t pktRecvTotal;        // data packets received
  int32_t pktSndLossTotal;     // packets the peer reported lost (sender side)
  int32_t pktRcvLossTotal;     // packets found missing on arrival (receiver side)
  int32_t pktRetransTotal;     // packets sent again
  int32_t pktSentACKTotal;
  int32_t pktRecvACKTotal;
  int32_t pktSentNAKTotal;
  int32_t pktRecvNAKTotal;
  int64_t usSndDurationTotal;  // time spent sending, idle time excluded, us
  int64_t pktSent;
  int64_t pktRecv;
  int32_t pktSndLoss;
  int32_t pktRcvLoss;
  int32_t pktRetrans;
  int32_t pktSentACK;
  int32_t pktRecvACK;
  int32_t pktSentNAK;
  int32_t pktRecvNAK;
  double mbpsSendRate;         // over the interval, Mb/s
  double mbpsRecvRate;
  int64_t usSndDuration;
  double usPktSndPeriod;       // time between two packets sent, us
  int32_t pktFlowWindow;       // flow window, packets
  int32_t pktCongestionWindow; // congestion window, packets
  int32_t pktFlightSize;       // packets sent and not yet acknowledged
  double msRTT;                // round-trip time, ms
  double mbpsBandwidth;        // estimated link capacity, Mb/s
  int32_t byteAvailSndBuf;
  int32_t byteAvailRcvBuf;
};

// Fills perf with the connection's performance record; clear != 0 starts a new
// interval for the interval fields.
int32_t udt_perfmon(int32_t u, TUDTTraceInfo* perf, int32_t clear) noexcept;

// UDT4's start-up and clean-up. Call each once per program: start-up before the
// first socket is created, clean-up after every thread has left UDT.
int32_t udt_startup() noexcept;
int32_t udt_cleanup() noexcept;

// Starts the transport for the life of the object (the program's socket services).
// Throws Exception("WSAStartup") or, from Stop, Exception("WSACleanup") on failure.
class TUDTSocketServices {
 public:
  TUDTSocketServices();
  ~TUDTSocketServices();
  TUDTSocketServices(const TUDTSocketServices&) = delete;
  TUDTSocketServices& operator=(const TUDTSocketServices&) = delete;
  // Cleans up now rather than at destruction; later calls do nothing.
  void Stop();
  // Ends the process with ExitCode without UDT4's clean-up, after flushing the C
  // streams; for a program whose every socket is closed and whose threads have
  // left UDT. UDT4 4.11's clean-up deletes a closed listener at once, although the
  // library keeps a closed listener answering handshakes for seconds; a connection
  // request that arrives just then is completed on the deleted listener and
  // crashes the process. Nothing is lost by skipping it: the system reclaims the
  // ports and the memory, and the library's own threads end with the process.
  [[noreturn]] void EndProcess(int ExitCode) noexcept;

 private:
  bool FStarted = false;
};

// Test seam: when set, udt_setsockopt calls this instead of UDT4 and returns its
// result. Lets a test make the segment-size option fail for real inside UDT4
// (for instance by passing an invalid value on), which no socket state produces
// on demand. Not thread-safe; set it only while no socket is being opened.
using TUDTSetSockOptHook =
    std::function<int32_t(int32_t u, int32_t level, int32_t optname, const void* optval,
                          int32_t optlen)>;
void udt_SetSockOptHook(TUDTSetSockOptHook hook);
// The real setsockopt, for a hook that wants to reach UDT4.
int32_t udt_setsockopt_direct(int32_t u, int32_t level, int32_t optname, const void* optval,
                              int32_t optlen) noexcept;

// Test seam: when set, udt_socket calls this instead of UDT4 and returns its result.
// UDT4 creates a socket for any address family, so a failing creation cannot be
// produced by socket state; a hook can pass an invalid socket type on to UDT4,
// which then fails for real. Not thread-safe, like the setsockopt seam.
using TUDTSocketHook = std::function<int32_t(int32_t af, int32_t type, int32_t protocol)>;
void udt_SetSocketHook(TUDTSocketHook hook);
// The real socket creation, for a hook that wants to reach UDT4.
int32_t udt_socket_direct(int32_t af, int32_t type, int32_t protocol) noexcept;
