// Helpers for the transport tests: raw UDT4 peers on the loopback interface,
// a recorder for component events, and bounded waits.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <udt/udt.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base_socket.h"

namespace transport_test {

// The bound of every wait in these tests; a hang fails after it with a message.
inline constexpr std::chrono::milliseconds kWaitBound{10000};

// Polls pred until it holds or bound passes; true when it held.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds bound = kWaitBound);

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

// Opens the component (if it is not open), connects its own UDT socket to a raw
// listener of the component's socket type and accepts the raw peer. Both ends get
// bounded blocking calls (stream) and the connection is settled.
::testing::AssertionResult ConnectToRawPeer(TUDTBaseSocket& c, RawListener& listener,
                                            RawSocket& peer);

// Closes the peer if not disarmed within kWaitBound, so that a component call
// blocked on that connection fails instead of hanging; Fired() tells the test.
class Watchdog {
 public:
  explicit Watchdog(RawSocket& peer);
  ~Watchdog() { Disarm(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  void Disarm();
  bool Fired() const { return FFired.load(); }

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FDisarmed = false;  // guarded by FMutex
  std::atomic<bool> FFired{false};
  std::thread FThread;
};

// Records every event of a component, in order, as short texts:
// "create", "destroy", "error:<code>", "send:<len>", "recv:<len>".
class EventLog {
 public:
  void Attach(TUDTBaseSocket& s);
  const std::vector<std::string>& Entries() const noexcept { return FEntries; }
  // Entries that start with prefix.
  int Count(const std::string& prefix) const;
  std::vector<int32_t> ErrorCodes() const { return FErrorCodes; }
  std::vector<std::string> ErrorTexts() const { return FErrorTexts; }
  void Clear();

 private:
  std::vector<std::string> FEntries;
  std::vector<int32_t> FErrorCodes;
  std::vector<std::string> FErrorTexts;
};

// The UDT state of a handle (UDT::getsockstate).
inline UDTSTATUS StateOf(UDTSOCKET s) { return UDT::getsockstate(s); }

// Bytes as a text of two-digit hex numbers separated by blanks, for readable failures.
std::string Hex(const std::string& bytes);

// A string of n bytes with a repeating, position-dependent pattern.
std::string Pattern(size_t n, unsigned seed = 0);

// A base socket connected to a raw UDT peer of the given type, under a watchdog
// that closes the peer should the test hang.
class ConnectedSocketTest : public ::testing::Test {
 protected:
  void Connect(TUDTSocketType type);
  void TearDown() override;

  EventLog FLog;  // declared first: it outlives the socket's last events
  TUDTBaseSocket FSocket{nullptr};
  std::unique_ptr<RawListener> FListener;
  RawSocket FPeer;
  std::unique_ptr<Watchdog> FDog;
};

}  // namespace transport_test
