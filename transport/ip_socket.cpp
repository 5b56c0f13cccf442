#include "ip_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The socket calls below are handed a UDT handle; only a real datagram socket of
// the operating system may reach them, never some unrelated descriptor.
bool IsOsDatagramSocket(int32_t fd) {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int type = 0;
  socklen_t len = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
}

}  // namespace

int32_t StrToInt(const std::string& s) {
  auto fail = [&]() -> int32_t {
    throw EConvertError("''" + s + "'' is not a valid integer value");
  };
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int base = 10;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return fail();
  int64_t value = 0;
  for (; i < s.size(); ++i) {
    int d = base == 16 ? HexValue(s[i]) : (IsDigit(s[i]) ? s[i] - '0' : -1);
    if (d < 0) return fail();
    value = value * base + d;
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return fail();
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
    return fail();
  return static_cast<int32_t>(value);
}

TUDTIpSocket::TUDTIpSocket(TComponent* AOwner) : TUDTBaseSocket(AOwner) { SetDomain(pfINET); }

void TUDTIpSocket::SetText(std::string& field, const std::string& Value) {
  if (field == Value) return;
  if (ClosesOnChange()) Close();
  field = Value;
}

sockaddr_in TUDTIpSocket::GetSocketAddr(const TSocketHost& h, const TSocketPort& p) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr(LookupHostAddr(h).c_str());
  addr.sin_port = htons(LookupPort(p, nullptr));
  return addr;
}

std::string TUDTIpSocket::LookupHostAddr(const std::string& hn) {
  if (hn.empty()) return "0.0.0.0";
  if (IsDigit(hn[0])) return inet_addr(hn.c_str()) != INADDR_NONE ? hn : std::string();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(hn.c_str(), nullptr, &hints, &res) != 0 || !res) return {};
  const auto* a = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  const auto* b = reinterpret_cast<const unsigned char*>(&a->sin_addr);
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  freeaddrinfo(res);
  return text;
}

std::string TUDTIpSocket::LookupHostName(const std::string& ipaddr) {
  in_addr_t a = inet_addr(ipaddr.c_str());
  if (a == INADDR_NONE) return {};
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = a;
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                  0, NI_NAMEREQD) != 0)
    return {};
  return host;
}

uint16_t TUDTIpSocket::LookupPort(const std::string& sn, const char* pn) {
  if (sn.empty()) return 0;
  servent se{};
  servent* found = nullptr;
  char buf[1024];
  if (getservbyname_r(sn.c_str(), pn, &se, buf, sizeof buf, &found) == 0 && found)
    return ntohs(static_cast<uint16_t>(found->s_port));
  return static_cast<uint16_t>(StrToInt(sn) & 0xFFFF);
}

uint16_t TUDTIpSocket::LookupProtocol(const std::string& pn) {
  protoent pe{};
  protoent* found = nullptr;
  char buf[1024];
  if (getprotobyname_r(pn.c_str(), &pe, buf, sizeof buf, &found) == 0 && found)
    return static_cast<uint16_t>(found->p_proto);
  return 0;
}

std::string TUDTIpSocket::LocalHostName() {
  char name[257] = {};
  if (CheckResult(gethostname(name, 256)) != 0) return {};
  return std::string(name, strnlen(name, 256));
}

std::string TUDTIpSocket::LocalHostAddr() { return LookupHostAddr(LocalHostName()); }

std::string TUDTIpSocket::LocalDomainName() {
  std::string n = LookupHostName(LocalHostAddr());
  auto dot = n.find('.');
  return dot == std::string::npos ? std::string() : n.substr(dot + 1);
}

bool TUDTIpSocket::BindLocal() {
  if (!Active()) return false;
  sockaddr_in addr = GetSocketAddr(FLocalHost, FLocalPort);
  return CheckResult(udt_bind(Handle(), &addr, sizeof addr)) == 0;
}

int32_t TUDTIpSocket::SendTo(const void* buf, int32_t bufsize, sockaddr_in ToAddr,
                             int32_t flags) {
  sockaddr_in to = ToAddr;
  int32_t len = bufsize;
  NotifySend(buf, len);
  len = std::min(len, bufsize);
  int32_t r = -1;
  if (IsOsDatagramSocket(Handle()))
    r = static_cast<int32_t>(sendto(Handle(), buf, len < 0 ? 0 : len, flags,
                                    reinterpret_cast<const sockaddr*>(&to), sizeof to));
  r = CheckResult(r < 0 ? -1 : r);
  if (r != -1) SetBytesSent(BytesSent() + static_cast<uint32_t>(r));
  return r;
}

int32_t TUDTIpSocket::ReceiveFrom(void* buf, int32_t bufsize, sockaddr_in& ToAddr, int32_t& len,
                                  int32_t flags) {
  int32_t r = -1;
  if (IsOsDatagramSocket(Handle()) && bufsize >= 0) {
    socklen_t alen = len < 0 ? 0 : static_cast<socklen_t>(len);
    alen = std::min<socklen_t>(alen, sizeof ToAddr);
    r = static_cast<int32_t>(recvfrom(Handle(), buf, bufsize, flags,
                                      reinterpret_cast<sockaddr*>(&ToAddr), &alen));
    if (r >= 0) len = static_cast<int32_t>(alen);
  }
  r = CheckResult(r < 0 ? -1 : r);
  if (r != -1) NotifyReceive(buf, r);
  return r;
}
