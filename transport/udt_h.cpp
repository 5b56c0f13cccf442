#include "udt_h.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>
#include <udt/udt.h>

#include "fixed_rate_cc.h"
#include "udt_type.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

TUDTSetSockOptHook g_setSockOptHook;
TUDTSocketHook g_socketHook;

UDT::UDSET* AsSet(UDSET s) { return static_cast<UDT::UDSET*>(s); }

// TUDTTraceInfo is handed to UDT4 as its own record.
static_assert(sizeof(TUDTTraceInfo) == sizeof(UDT::TRACEINFO));
static_assert(offsetof(TUDTTraceInfo, usSndDurationTotal) == offsetof(UDT::TRACEINFO, usSndDurationTotal));
static_assert(offsetof(TUDTTraceInfo, mbpsSendRate) == offsetof(UDT::TRACEINFO, mbpsSendRate));
static_assert(offsetof(TUDTTraceInfo, pktFlightSize) == offsetof(UDT::TRACEINFO, pktFlightSize));
static_assert(offsetof(TUDTTraceInfo, byteAvailRcvBuf) == offsetof(UDT::TRACEINFO, byteAvailRcvBuf));

template <class T>
int32_t GetOption(int32_t u, UDT::SOCKOPT optname, T* value) noexcept {
  int32_t len = sizeof *value;
  return udt_getsockopt(u, 0, optname, value, &len);
}

int32_t IntOption(int32_t u, UDT::SOCKOPT optname, int32_t* value) noexcept {
  return GetOption(u, optname, value);
}

template <class T>
int32_t SetOption(int32_t u, UDT::SOCKOPT optname, T value) noexcept {
  return udt_setsockopt_direct(u, 0, optname, &value, sizeof value);
}

}  // namespace

int32_t udt_socket_direct(int32_t af, int32_t type, int32_t protocol) noexcept {
  try { return UDT::socket(af, type, protocol); } catch (...) { return -1; }
}

int32_t udt_socket(int32_t af, int32_t type, int32_t protocol) noexcept {
  try {
    if (g_socketHook) return g_socketHook(af, type, protocol);
  } catch (...) { return -1; }
  return udt_socket_direct(af, type, protocol);
}

int32_t udt_bind(int32_t u, const sockaddr_in* name, int32_t namelen) noexcept {
  try { return UDT::bind(u, reinterpret_cast<const sockaddr*>(name), namelen); } catch (...) { return -1; }
}

int32_t udt_listen(int32_t u, int32_t backlog) noexcept {
  try { return UDT::listen(u, backlog); } catch (...) { return -1; }
}

int32_t udt_accept(int32_t u, sockaddr_in* addr, int32_t* addrlen) noexcept {
  try {
    int len = addrlen ? *addrlen : 0;
    int r = UDT::accept(u, reinterpret_cast<sockaddr*>(addr), addrlen ? &len : nullptr);
    if (addrlen) *addrlen = len;
    return r;
  } catch (...) { return -1; }
}

int32_t udt_connect(int32_t u, const sockaddr_in* name, int32_t namelen) noexcept {
  try { return UDT::connect(u, reinterpret_cast<const sockaddr*>(name), namelen); } catch (...) { return -1; }
}

int32_t udt_close(int32_t u) noexcept {
  try { return UDT::close(u); } catch (...) { return -1; }
}

int32_t udt_setsockopt_direct(int32_t u, int32_t level, int32_t optname, const void* optval,
                              int32_t optlen) noexcept {
  try {
    return UDT::setsockopt(u, level, static_cast<UDT::SOCKOPT>(optname), optval, optlen);
  } catch (...) { return -1; }
}

int32_t udt_setsockopt(int32_t u, int32_t level, int32_t optname, const void* optval,
                       int32_t optlen) noexcept {
  try {
    if (g_setSockOptHook) return g_setSockOptHook(u, level, optname, optval, optlen);
  } catch (...) { return -1; }
  return udt_setsockopt_direct(u, level, optname, optval, optlen);
}

int32_t udt_getsockopt(int32_t u, int32_t level, int32_t optname, void* optval,
                       int32_t* optlen) noexcept {
  try {
    int len = optlen ? *optlen : 0;
    const int r = UDT::getsockopt(u, level, static_cast<UDT::SOCKOPT>(optname), optval, &len);
    if (optlen) *optlen = len;
    return r;
  } catch (...) { return -1; }
}

int32_t udt_getmss(int32_t u, int32_t* mss) noexcept { return IntOption(u, UDT_MSS, mss); }

int32_t udt_getsndbuf(int32_t u, int32_t* bytes) noexcept { return IntOption(u, UDT_SNDBUF, bytes); }

int32_t udt_getsnddata(int32_t u, int32_t* packets) noexcept {
  return IntOption(u, UDT_SNDDATA, packets);
}

int32_t udt_setlinger(int32_t u, int32_t onoff, int32_t seconds) noexcept {
  const linger value{onoff, seconds};
  return udt_setsockopt_direct(u, 0, UDT_LINGER, &value, sizeof value);
}

int32_t udt_setrcvtimeo(int32_t u, int32_t milliseconds) noexcept {
  return udt_setsockopt_direct(u, 0, UDT_RCVTIMEO, &milliseconds, sizeof milliseconds);
}

int32_t udt_setsndbuf(int32_t u, int32_t bytes) noexcept { return SetOption(u, UDT_SNDBUF, bytes); }

int32_t udt_setrcvbuf(int32_t u, int32_t bytes) noexcept { return SetOption(u, UDT_RCVBUF, bytes); }

int32_t udt_setudpsndbuf(int32_t u, int32_t bytes) noexcept { return SetOption(u, UDP_SNDBUF, bytes); }

int32_t udt_setudprcvbuf(int32_t u, int32_t bytes) noexcept { return SetOption(u, UDP_RCVBUF, bytes); }

int32_t udt_setfc(int32_t u, int32_t packets) noexcept { return SetOption(u, UDT_FC, packets); }

int32_t udt_setmaxbw(int32_t u, int64_t bytesPerSecond) noexcept {
  return SetOption(u, UDT_MAXBW, bytesPerSecond);
}

int32_t udt_getrcvbuf(int32_t u, int32_t* bytes) noexcept { return IntOption(u, UDT_RCVBUF, bytes); }

int32_t udt_getudpsndbuf(int32_t u, int32_t* bytes) noexcept { return IntOption(u, UDP_SNDBUF, bytes); }

int32_t udt_getudprcvbuf(int32_t u, int32_t* bytes) noexcept { return IntOption(u, UDP_RCVBUF, bytes); }

int32_t udt_getfc(int32_t u, int32_t* packets) noexcept { return IntOption(u, UDT_FC, packets); }

int32_t udt_getmaxbw(int32_t u, int64_t* bytesPerSecond) noexcept {
  return GetOption(u, UDT_MAXBW, bytesPerSecond);
}

int32_t udt_setfixedrate(int32_t u, double mbps) noexcept {
  // UDT4 keeps a clone of the factory; this one may go.
  try {
    TFixedRateCCFactory factory(mbps);
    return udt_setsockopt_direct(u, 0, UDT_CC, &factory, sizeof factory);
  } catch (...) { return -1; }
}

int32_t udt_getfixedrate(int32_t u, double* mbps) noexcept {
  CCC* cc = nullptr;
  if (GetOption(u, UDT_CC, &cc) != 0) return -1;
  const auto* fixed = dynamic_cast<const TFixedRateCC*>(cc);
  if (mbps) *mbps = fixed ? fixed->RateMbps() : 0;
  return 0;
}

int32_t udt_send(int32_t u, const void* buf, int32_t len, int32_t flags) noexcept {
  try { return UDT::send(u, static_cast<const char*>(buf), len, flags); } catch (...) { return -1; }
}

int32_t udt_recv(int32_t u, void* buf, int32_t len, int32_t flags) noexcept {
  try { return UDT::recv(u, static_cast<char*>(buf), len, flags); } catch (...) { return -1; }
}

int32_t udt_sendmsg(int32_t u, const void* buf, int32_t len, int32_t ttl, int32_t inorder) noexcept {
  try { return UDT::sendmsg(u, static_cast<const char*>(buf), len, ttl, inorder != 0); } catch (...) { return -1; }
}

int32_t udt_recvmsg(int32_t u, void* buf, int32_t len) noexcept {
  try { return UDT::recvmsg(u, static_cast<char*>(buf), len); } catch (...) { return -1; }
}

int32_t udt_select(int32_t nfds, UDSET readfds, UDSET writefds, UDSET exceptfds,
                   const TUDTTimeVal* timeout) noexcept {
  try {
    timeval tv{};
    if (timeout) {
      tv.tv_sec = timeout->tv_sec;
      tv.tv_usec = timeout->tv_usec;
    }
    return UDT::select(nfds, AsSet(readfds), AsSet(writefds), AsSet(exceptfds),
                       timeout ? &tv : nullptr);
  } catch (...) { return -1; }
}

UDSET udt_NEW_UDSET() noexcept {
  try { return new UDT::UDSET(); } catch (...) { return nullptr; }
}

void udt_DEL_UDSET(UDSET uset) noexcept { delete AsSet(uset); }

void udt_UD_ZERO(UDSET uset) noexcept {
  if (uset) UD_ZERO(AsSet(uset));
}

void udt_UD_SET(UDSET uset, int32_t u) noexcept {
  try { if (uset) UD_SET(u, AsSet(uset)); } catch (...) {}
}

void udt_UD_CLR(UDSET uset, int32_t u) noexcept {
  if (uset) UD_CLR(u, AsSet(uset));
}

int32_t udt_UD_ISSET(UDSET uset, int32_t u) noexcept {
  return uset && UD_ISSET(u, AsSet(uset)) ? 1 : 0;
}

int32_t udt_getlasterror2(const char** desc) noexcept {
  try {
    UDT::ERRORINFO& e = UDT::getlasterror();
    if (desc) *desc = e.getErrorMessage();
    return e.getErrorCode();
  } catch (...) {
    if (desc) *desc = "";
    return -1;
  }
}

int32_t udt_perfmon(int32_t u, TUDTTraceInfo* perf, int32_t clear) noexcept {
  try { return UDT::perfmon(u, reinterpret_cast<UDT::TRACEINFO*>(perf), clear != 0); } catch (...) { return -1; }
}

int32_t udt_startup() noexcept {
  try { return UDT::startup(); } catch (...) { return -1; }
}

int32_t udt_cleanup() noexcept {
  try { return UDT::cleanup(); } catch (...) { return -1; }
}

void udt_SetSockOptHook(TUDTSetSockOptHook hook) { g_setSockOptHook = std::move(hook); }

void udt_SetSocketHook(TUDTSocketHook hook) { g_socketHook = std::move(hook); }

TUDTSocketServices::TUDTSocketServices() {
  if (udt_startup() != 0) throw Exception("WSAStartup");
  FStarted = true;
}

TUDTSocketServices::~TUDTSocketServices() {
  try { Stop(); } catch (...) {}
}

void TUDTSocketServices::EndProcess(int ExitCode) noexcept {
  FStarted = false;
#if defined(__SANITIZE_ADDRESS__)
  // The leak check that a normal exit would run.
  __lsan_do_leak_check();
#endif
  std::fflush(nullptr);
  std::_Exit(ExitCode);
}

void TUDTSocketServices::Stop() {
  if (!FStarted) return;
  FStarted = false;
  if (udt_cleanup() != 0) throw Exception("WSACleanup");
}
