// THostilePeer: a raw UDT4 client that can do what the client page never does:
// send any bytes, stop in the middle of a unit, vanish without waiting for its
// data to leave. Every call is bounded.
#pragma once

#include <udt/udt.h>

#include <cstdint>
#include <string>

#include "raw_udt.h"

namespace reliability_test {

class THostilePeer {
 public:
  THostilePeer();
  ~THostilePeer();
  THostilePeer(const THostilePeer&) = delete;
  THostilePeer& operator=(const THostilePeer&) = delete;

  // Connects to 127.0.0.1:port; a connection refused because the backlog is
  // full is tried again on a fresh socket, for at most retryMs.
  bool Connect(uint16_t port, int retryMs = 10000);
  // Sends all of bytes; false once a send fails (the server may have hung up).
  bool Send(const std::string& bytes);
  // Receives up to n bytes, waiting at most waitMs for each piece.
  std::string Receive(size_t n, int waitMs);
  // Closes, letting what was sent leave first (at most a few seconds).
  void Close();
  // Closes at once, dropping whatever has not left yet.
  void Vanish();
  UDTSOCKET Handle() const noexcept { return FSock.Get(); }
  // UDT4's error code of the last failed connect, 0 when none failed.
  int ConnectError() const noexcept { return FConnectError; }

 private:
  void Fresh();
  test_support::RawSocket FSock;
  int FConnectError = 0;
};

}  // namespace reliability_test
