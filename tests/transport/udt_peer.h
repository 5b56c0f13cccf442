// Helpers for the transport tests: a component connected to a raw UDT4 peer,
// under a watchdog.
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
#include "raw_udt.h"
#include "bytes.h"
#include "event_log.h"
#include "wait.h"

namespace transport_test {

using namespace test_support;

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
