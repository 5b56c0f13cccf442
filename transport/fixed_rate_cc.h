// TFixedRateCC: a congestion control for UDT4 that sends at one set rate
// whatever the loss, for probing a path the way a fixed-rate UDP test does.
#pragma once

#include <cstdint>
#include <udt/ccc.h>

// Paces data packets so their payload goes at RateMbps, retransmissions
// included; loss and time-outs change nothing. UDT4's sender oversleeps each
// gap between packets a little, so every tenth of a second the gap is trimmed
// by what the rate really reached (never below half the nominal gap). The
// congestion window is the flow window, so only the receiver's room limits
// what is in flight. UDT4 calls it on its own threads.
class TFixedRateCC : public CCC {
 public:
  explicit TFixedRateCC(double RateMbps) : FRateMbps(RateMbps) {}
  void init() override;
  void onACK(int32_t) override;
  double RateMbps() const noexcept { return FRateMbps; }

 private:
  const double FRateMbps;
  double FNominalPeriod = 1;  // us between packets at the exact rate
  int FPayload = 1;           // data bytes per packet
  int64_t FLastMs = -1;       // the monitor's clock and packets at the last correction
  int64_t FLastPackets = 0;
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
