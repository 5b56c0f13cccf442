// TFixedRateCC: a congestion control for UDT4 that sends at one set rate
// whatever the loss, for probing a path the way a fixed-rate UDP test does.
#pragma once

#include <atomic>
#include <cstdint>
#include <udt/ccc.h>

#include "loss_reports.h"

// Paces data packets so their payload goes at RateMbps, retransmissions
// included; loss and time-outs change nothing. UDT4 spaces packets evenly
// whatever they carry, and its sender oversleeps each gap a little, so every
// tenth of a second the gap is trimmed by the payload bytes really sent (never
// below half the gap of full packets): a file sent in pieces of 2048 bytes
// goes in two full packets and one of 32 bytes each, and still at the rate. The
// congestion window is the flow window, so only the receiver's room limits
// what is in flight. On the receiving side it reports a loss again when the
// packet has not come one and a half round trips after the last report, so a
// lost report or a lost resend costs one packet, not a time-out that resends
// the whole window (UDT4 reports each gap once). UDT4 calls it on its own
// threads: the sender's, and the receiver's for onACK and onPktReceived.
class TFixedRateCC : public CCC {
 public:
  explicit TFixedRateCC(double RateMbps) : FRateMbps(RateMbps) {}
  void init() override;
  void onACK(int32_t) override;
  void onPktReceived(const CPacket* Packet) override;
  void onPktSent(const CPacket* Packet) override;
  double RateMbps() const noexcept { return FRateMbps; }

 private:
  const double FRateMbps;
  double FNominalPeriod = 1;  // us between packets at the exact rate
  int FPayload = 1;           // data bytes of a full packet, the most a report may carry
  int64_t FLastMs = -1;       // the monitor's clock and payload bytes at the last correction
  int64_t FLastBytes = 0;
  std::atomic<int64_t> FSentBytes{0};  // payload of every data packet sent, resends included
  TLossReports FMissing;     // the receiving side's gaps
  int64_t FLastDueUs = 0;    // when they were last looked through
};

// What UDT_CC takes: UDT4 keeps a clone of it and makes each connection's
// control with create(); accepted connections get their listener's.
class TFixedRateCCFactory : public CCCVirtualFactory {
 public:
  explicit TFixedRateCCFactory(double RateMbps) : FRateMbps(RateMbps) {}
  CCC* create() override { return new TFixedRateCC(FRateMbps); }
  CCCVirtualFactory* clone() override { return new TFixedRateCCFactory(FRateMbps); }

 private:
  const double FRateMbps;
};
