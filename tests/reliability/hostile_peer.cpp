#include "hostile_peer.h"

#include <arpa/inet.h>

#include <chrono>
#include <thread>

namespace reliability_test {

THostilePeer::THostilePeer() { Fresh(); }

THostilePeer::~THostilePeer() { Close(); }

void THostilePeer::Fresh() {
  if (FSock != UDT::INVALID_SOCK) UDT::close(FSock);
  FSock = UDT::socket(AF_INET, SOCK_STREAM, 0);
  int ms = 10000;
  UDT::setsockopt(FSock, 0, UDT_RCVTIMEO, &ms, sizeof ms);
  UDT::setsockopt(FSock, 0, UDT_SNDTIMEO, &ms, sizeof ms);
  linger l{1, 3};
  UDT::setsockopt(FSock, 0, UDT_LINGER, &l, sizeof l);
}

bool THostilePeer::Connect(uint16_t port, int retryMs) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
  for (;;) {
    if (UDT::connect(FSock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    const int code = UDT::getlasterror().getErrorCode();
    FConnectError = code;
    if (code != CUDTException::ECONNREJ || std::chrono::steady_clock::now() >= deadline) return false;
    // The backlog was full: workers are busy. A failed socket cannot connect again.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Fresh();
  }
}

bool THostilePeer::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int r = UDT::send(FSock, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (r <= 0) return false;
    sent += static_cast<size_t>(r);
  }
  return true;
}

std::string THostilePeer::Receive(size_t n, int waitMs) {
  UDT::setsockopt(FSock, 0, UDT_RCVTIMEO, &waitMs, sizeof waitMs);
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    int r = UDT::recv(FSock, out.data() + got, static_cast<int>(n - got), 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

void THostilePeer::Close() {
  if (FSock == UDT::INVALID_SOCK) return;
  UDT::close(FSock);
  FSock = UDT::INVALID_SOCK;
}

void THostilePeer::Vanish() {
  if (FSock == UDT::INVALID_SOCK) return;
  linger l{0, 0};
  UDT::setsockopt(FSock, 0, UDT_LINGER, &l, sizeof l);
  Close();
}

}  // namespace reliability_test
