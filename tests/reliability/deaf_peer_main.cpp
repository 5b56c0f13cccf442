// udtbench_deaf_peer: a client that talks without listening. It connects to
// 127.0.0.1:PORT with the smallest receive buffer UDT4 allows, sends text
// messages as fast as it can and never reads a reply, so the server's replies
// pile up unacknowledged. After COUNT messages it says "streaming" on standard
// output and goes on until it is killed, or until the server goes away.
//   udtbench_deaf_peer PORT COUNT
#include <arpa/inet.h>
#include <udt/udt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bytes.h"
#include "raw_udt.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT COUNT\n", argv[0]);
    return 2;
  }
  UDT::startup();
  const UDTSOCKET s = UDT::socket(AF_INET, SOCK_STREAM, 0);
  // UDT4's smallest buffer and flow window: the server's replies soon wait in its own buffer.
  int packets = 32;
  UDT::setsockopt(s, 0, UDT_FC, &packets, sizeof packets);
  int bytes = 32 * 1500;
  UDT::setsockopt(s, 0, UDT_RCVBUF, &bytes, sizeof bytes);
  sockaddr_in a = test_support::Loopback(static_cast<uint16_t>(std::atoi(argv[1])));
  if (UDT::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR) {
    std::fprintf(stderr, "connect: %s\n", UDT::getlasterror().getErrorMessage());
    return 1;
  }
  const long count = std::atol(argv[2]);
  const std::string message = test_support::Frame(u"deaf peer");
  for (long sent = 0;; ++sent) {
    if (sent == count) {
      std::puts("streaming");
      std::fflush(stdout);
    }
    if (UDT::send(s, message.data(), static_cast<int>(message.size()), 0) == UDT::ERROR) return 0;
  }
}
