// Raw UDT4 peers on the loopback interface, for tests that must see the wire
// without the components under test: sockets, a listener, bounded blocking calls.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <udt/udt.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "wait.h"

namespace test_support {

// 127.0.0.1 with the given port (host byte order).
sockaddr_in Loopback(uint16_t port);

// Gives a raw or component stream socket time-outs for blocking receives and
// sends, so a transfer that never completes fails with UDT's time-out error
// instead of hanging. Not for message sockets: there UDT4's recvmsg with a
// time-out sleeps the whole time-out even when a message arrives meanwhile.
void BoundBlockingCalls(UDTSOCKET s);

// A raw UDT4 socket owned by the test; closed with the object. Close may be
// called from another thread (a watchdog) while this one is blocked in a call.
class RawSocket {
 public:
  RawSocket() = default;
  explicit RawSocket(UDTSOCKET s) : FSock(s) {}
  ~RawSocket() { Close(); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  RawSocket(RawSocket&& o) noexcept : FSock(o.FSock.exchange(UDT::INVALID_SOCK)) {}
  RawSocket& operator=(RawSocket&& o) noexcept;

  UDTSOCKET Get() const noexcept { return FSock.load(); }
  bool Valid() const noexcept { return Get() != UDT::INVALID_SOCK; }
  void Close();

  // Stream: sends all of data; false on a failure.
  bool SendAll(const std::string& data);
  // Stream: receives exactly n bytes, or what came before a failure or time-out.
  std::string RecvExactly(size_t n);
  // Message: sends data as one message.
  bool SendMsg(const std::string& data);
  // Message: receives one message, waiting at most kWaitBound; nullopt on a
  // failure or time-out.
  std::optional<std::string> RecvMsg(size_t capacity = 65536);

 private:
  std::atomic<UDTSOCKET> FSock{UDT::INVALID_SOCK};
};

// A raw UDT4 listener on 127.0.0.1 with a port that UDT picked.
class RawListener {
 public:
  explicit RawListener(int type = SOCK_STREAM);
  ~RawListener();
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  bool Ok() const noexcept { return FSock != UDT::INVALID_SOCK && FPort != 0; }
  uint16_t Port() const noexcept { return FPort; }
  // Accepts one pending connection, waiting at most kWaitBound.
  RawSocket Accept();

 private:
  UDTSOCKET FSock = UDT::INVALID_SOCK;
  uint16_t FPort = 0;
};

// Passes one byte each way between the two ends of a fresh connection. UDT4
// registers a new connection with its receiving thread a little after connect
// and accept return; a control packet such as the peer's shutdown that arrives
// before then is dropped and never sent again. A round trip proves both ends
// are registered.
::testing::AssertionResult Settle(UDTSOCKET a, UDTSOCKET b, bool messages);

// The UDT state of a handle (UDT::getsockstate).
inline UDTSTATUS StateOf(UDTSOCKET s) { return UDT::getsockstate(s); }

}  // namespace test_support
