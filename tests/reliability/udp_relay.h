// TUdpRelay: a UDP relay on 127.0.0.1 that sits between one UDT client and a
// server and impairs the datagrams it passes on (drops, bursts of loss,
// duplicates, delays, reordering), driven by a seeded generator so a failing run
// can be repeated.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace reliability_test {

// What the relay does to each datagram, in each direction.
struct TLinkImpairment {
  double Loss = 0.0;          // chance that a datagram is dropped
  double Duplicate = 0.0;     // chance that a passed datagram is sent twice
  double Reorder = 0.0;       // chance that a datagram is held back behind later ones
  int ReorderDelayMs = 0;     // how long a held-back datagram waits (at most)
  int DelayMs = 0;            // fixed delay of every datagram
  int JitterMs = 0;           // extra random delay, 0..JitterMs
  // Bursts: every BurstPeriodMs, for BurstLengthMs, the loss is BurstLoss instead.
  int BurstPeriodMs = 0;
  int BurstLengthMs = 0;
  double BurstLoss = 0.0;
  // Whether the server's datagrams (acknowledgements, replies) are impaired too.
  bool ImpairReturn = true;
};

// Counts of what the relay did, both directions together.
struct TRelayCounts {
  uint64_t Received = 0;
  uint64_t Dropped = 0;
  uint64_t Duplicated = 0;
  uint64_t Reordered = 0;
  uint64_t Sent = 0;
};

// Listens on 127.0.0.1 at a port of its own and forwards to 127.0.0.1:ServerPort.
// The first peer that sends to it is the client; the server's answers go back to
// that peer. Runs one thread of its own from construction to destruction.
class TUdpRelay {
 public:
  TUdpRelay(uint16_t ServerPort, TLinkImpairment Impairment, uint32_t Seed);
  ~TUdpRelay();
  TUdpRelay(const TUdpRelay&) = delete;
  TUdpRelay& operator=(const TUdpRelay&) = delete;

  // The port clients connect to; 0 when the relay could not start.
  uint16_t Port() const noexcept { return FPort; }
  TRelayCounts Counts() const;

 private:
  void Run();

  int FFront = -1;  // the socket clients talk to
  int FBack = -1;   // the socket that talks to the server
  int FWakeRead = -1, FWakeWrite = -1;
  uint16_t FPort = 0;
  uint16_t FServerPort;
  TLinkImpairment FImpairment;
  uint32_t FSeed;
  std::atomic<bool> FStop{false};
  mutable std::mutex FLock;  // guards FCounts
  TRelayCounts FCounts;
  std::thread FThread;
};

}  // namespace reliability_test
