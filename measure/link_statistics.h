// What the bench keeps of a UDT connection's performance: half-second samples
// of UDT4's monitor, the range of RTT and bandwidth, their CSV, and the summary
// of one file transfer. Plain data, no window toolkit, easy to serialise.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base_socket.h"

// One reading of a connection's monitor.
struct TLinkSample {
  double Seconds = 0;        // since the first sample of the connection
  double SendMbps = 0;       // payload sent over the last interval, retransmissions included
  double ReceiveMbps = 0;    // payload received over the last interval
  double RttMs = 0;          // UDT4's smoothed round-trip time
  double BandwidthMbps = 0;  // UDT4's estimate of the link's capacity
  int64_t PacketsSent = 0;       // data packets sent since the connection began, retransmissions included
  int64_t PacketsReceived = 0;   // data packets received since the connection began
  int64_t Retransmitted = 0;     // data packets this side sent again
  int64_t SendLoss = 0;          // packets the peer reported missing (each may be sent again)
  int64_t ReceiveLoss = 0;       // packets this side found missing on arrival
  int32_t FlowWindow = 0;        // packets the receiver can still take
  int32_t CongestionWindow = 0;  // packets the congestion control allows in flight
  int32_t InFlight = 0;          // packets sent and not yet acknowledged
};

// The sample a monitor record gives at Seconds.
TLinkSample SampleOf(const TUDTTraceInfo& Info, double Seconds);

// Minimum, average and maximum of a series; all 0 while it is empty.
struct TValueRange {
  double Min = 0;
  double Average = 0;
  double Max = 0;
  int64_t Count = 0;
  void Add(double Value);
};

// The samples of one connection and the range of its RTT and bandwidth.
// Not thread-safe.
class TLinkStatistics {
 public:
  void Clear();
  void Add(const TLinkSample& Sample);
  const std::vector<TLinkSample>& Samples() const noexcept { return FSamples; }
  const TValueRange& Rtt() const noexcept { return FRtt; }
  const TValueRange& Bandwidth() const noexcept { return FBandwidth; }

 private:
  std::vector<TLinkSample> FSamples;
  TValueRange FRtt;
  TValueRange FBandwidth;
};

// The CSV header row naming the columns of a sample.
extern const char* const kLinkSampleCsvHeader;
// Writes the header row, then one row per sample; numbers with a '.' whatever the locale.
void WriteSamplesCsv(std::ostream& Out, const std::vector<TLinkSample>& Samples);
// The same with the connection's settings in force as further columns of every row.
void WriteSamplesCsv(std::ostream& Out, const std::vector<TLinkSample>& Samples,
                     const TLinkSettingsInForce& Settings);

// Samples the connection of one socket, normally every kInterval, and keeps
// the samples of the current or last connection. Call it on the socket's thread.
class TLinkMonitor {
 public:
  static constexpr std::chrono::milliseconds kInterval{500};

  // Reads the socket's monitor and adds a sample; a socket holding another
  // connection than last time starts the statistics afresh. Returns false,
  // keeping what was gathered, when the socket has no connection.
  bool Tick(const TUDTBaseSocket& Socket);
  // True when the last Tick found a connection.
  bool Live() const noexcept { return FLive; }
  const TLinkStatistics& Statistics() const noexcept { return FStatistics; }

 private:
  TLinkStatistics FStatistics;
  int32_t FHandle = -1;
  std::chrono::steady_clock::time_point FStart;
  bool FLive = false;
};

// How a file transfer ended.
enum class TTransferOutcome { Complete, Cancelled, Failed, Cut, Refused };
// "complete", "cancelled", "failed", "cut" or "refused".
const char* OutcomeName(TTransferOutcome Outcome);

// What one file transfer did, as either side saw it.
struct TTransferSummary {
  std::string Peer;       // "host:port" of the other side
  std::string Name;       // file name, UTF-8
  int64_t Bytes = 0;      // bytes sent, or stored
  double Seconds = 0;
  double MBps = 0;        // Bytes / 10^6 / Seconds
  int64_t Retransmitted = 0;  // packets this side sent again during the transfer
  int64_t Lost = 0;           // packets lost: reported by the peer when sending, seen missing when receiving
  double LossPercent = 0;     // Lost per data packet sent (or received), in %
  double AverageRttMs = 0;    // average of the RTT readings of UDT4's monitor during the transfer
  bool LinkMeasured = false;  // the monitor was read at the start and the end: Retransmitted, Lost, LossPercent hold
  std::string Sha256;     // of the bytes sent, or stored
  TTransferOutcome Outcome = TTransferOutcome::Complete;
  // The connection's settings, read back from UDT4, with the page's block size.
  std::optional<TLinkSettingsInForce> Settings;
};
