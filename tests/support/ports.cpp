#include "ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "server.h"

namespace test_support {

HeldUdpPort::HeldUdpPort(uint16_t port) : FSock(::socket(AF_INET, SOCK_DGRAM, 0)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  socklen_t len = sizeof a;
  if (FSock >= 0 && ::bind(FSock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(FSock, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    FPort = ntohs(a.sin_port);
}

HeldUdpPort::~HeldUdpPort() {
  if (FSock >= 0) ::close(FSock);
}

uint16_t FreeUdpPort() { return HeldUdpPort().Port(); }

uint16_t LocalPortOf(int32_t handle) {
  sockaddr_in a{};
  int len = sizeof a;
  if (UDT::getsockname(handle, reinterpret_cast<sockaddr*>(&a), &len) == UDT::ERROR) return 0;
  return ntohs(a.sin_port);
}

uint16_t OpenOnFreePort(TCustomUDTServer& server) {
  server.SetLocalHost("127.0.0.1");
  server.SetLocalPort("0");
  server.Open();
  if (!server.Listening()) return 0;
  return LocalPortOf(server.Handle());
}

bool UdpPortBound(uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  // The local address is the second column, within the first 30 characters.
  while (std::getline(table, line))
    if (const auto at = line.find(hex); at != std::string::npos && at < 30) return true;
  return false;
}

}  // namespace test_support
