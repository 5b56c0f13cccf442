#include "ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace test_support {

uint16_t FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
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
