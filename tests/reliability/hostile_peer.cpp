#include "hostile_peer.h"

#include <arpa/inet.h>

#include <chrono>
#include <thread>

namespace reliability_test {

THostilePeer::THostilePeer() { Fresh(); }

THostilePeer::~THostilePeer() { Close(); }

void THostilePeer::Fresh() {
  FSock = test_support::RawSocket(UDT::socket(AF_INET, SOCK_STREAM, 0));
  int ms = 10000;
  UDT::setsockopt(FSock.Get(), 0, UDT_RCVTIMEO, &ms, sizeof ms);
  UDT::setsockopt(FSock.Get(), 0, UDT_SNDTIMEO, &ms, sizeof ms);
  linger l{1, 3};
  UDT::setsockopt(FSock.Get(), 0, UDT_LINGER, &l, sizeof l);
}

bool THostilePeer::Connect(uint16_t port, int retryMs) {
  sockaddr_in a = test_support::Loopback(port);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
  for (;;) {
    if (UDT::connect(FSock.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    const int code = UDT::getlasterror().getErrorCode();
    FConnectError = code;
    if (code != CUDTException::ECONNREJ || std::chrono::steady_clock::now() >= deadline) return false;
    // The backlog was full: workers are busy. A failed socket cannot connect again.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Fresh();
  }
}

bool THostilePeer::Send(const std::string& bytes) { return FSock.SendAll(bytes); }

std::string THostilePeer::Receive(size_t n, int waitMs) {
  UDT::setsockopt(FSock.Get(), 0, UDT_RCVTIMEO, &waitMs, sizeof waitMs);
  return FSock.RecvExactly(n);
}

void THostilePeer::Close() { FSock.Close(); }

void THostilePeer::Vanish() {
  if (!FSock.Valid()) return;
  linger l{0, 0};
  UDT::setsockopt(FSock.Get(), 0, UDT_LINGER, &l, sizeof l);
  Close();
}

}  // namespace reliability_test
