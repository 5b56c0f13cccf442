// One direction of the emulated path: random loss, a drop-tail queue in front
// of a bottleneck that sends packets one by one at the set rate, then the
// propagation delay. Packets keep their order.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "path_settings.h"

// The ground truth of one direction, counted since the start. Not thread safe.
struct TDirectionCounters {
  int64_t PacketsIn = 0, BytesIn = 0;    // read from the entry
  int64_t PacketsOut = 0, BytesOut = 0;  // written to the exit
  int64_t RandomDrops = 0, QueueDrops = 0;
  int64_t WriteDrops = 0;  // the exit refused the write
  int64_t Queued = 0;      // packets that entered the queue
  int64_t MaxQueueBytes = 0;
  int64_t QueueWaitNs = 0;     // summed over the queued packets: waiting before serialization
  int64_t SerializationNs = 0; // summed over the queued packets
  int64_t MaxLateNs = 0;       // the latest a packet left after its time
  int64_t LateWrites = 0;      // packets that left more than kLateNs after their time
  // Of them, the UDP datagrams that carry a UDT data packet (the first bit of
  // a UDT header is 0 for data, 1 for control): what entered, what was lost.
  int64_t UdtDataIn = 0, UdtDataDrops = 0;
};

// True when an IPv4 packet is a UDP datagram holding a UDT data packet.
bool IsUdtData(const uint8_t* Packet, size_t Size);

// A write later than this behind its time may reach the receiver closer to the
// packet before it than the rate allows (the forwarding woke late).
inline constexpr int64_t kLateNs = 50'000;

class TLinkDirection {
 public:
  // Settings with QueueBytes resolved; Seed makes the random loss repeatable.
  TLinkDirection(const TDirectionSettings& Settings, uint64_t Seed);
  TLinkDirection(const TLinkDirection&) = delete;
  TLinkDirection& operator=(const TLinkDirection&) = delete;

  // A packet read from the entry at NowNs: dropped at random or at a full
  // queue, or queued behind the others.
  void Offer(const uint8_t* Data, size_t Size, int64_t NowNs);
  // Writes each packet whose time has come by NowNs to ExitFd, one write each;
  // returns the time the next one is due, or INT64_MAX when none waits.
  int64_t Deliver(int ExitFd, int64_t NowNs);

  const TDirectionCounters& Counters() const noexcept { return FCounters; }
  const TDirectionSettings& Settings() const noexcept { return FSettings; }

 private:
  struct TPacket {
    std::vector<uint8_t> Bytes;
    int64_t DueNs;
    bool UdtData;
  };
  struct TInQueue {
    int64_t DepartNs;
    int64_t Bytes;
  };

  TDirectionSettings FSettings;
  std::mt19937_64 FRandom;
  std::deque<TPacket> FInFlight;   // every packet not yet written, in order
  std::deque<TInQueue> FQueue;     // the packets not yet through the bottleneck
  int64_t FQueueBytes = 0;
  int64_t FLastDepartNs = 0;
  std::vector<std::vector<uint8_t>> FSpare;  // buffers of written packets, for reuse
  TDirectionCounters FCounters;
};

// One BDP of Settings (rate x round trip, with the same delay back), at least 64 kB.
int64_t DefaultQueueBytes(const TDirectionSettings& Settings);
