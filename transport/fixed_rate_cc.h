// TFixedRateCC: a congestion control for UDT4 that sends at one set rate
// whatever the loss, for probing a path the way a fixed-rate UDP test does.
#pragma once

#include <udt/ccc.h>

// Paces data packets so their payload goes at RateMbps; loss, time-outs and
// acknowledgements change nothing. The congestion window is the flow window,
// so only the receiver's room limits what is in flight. UDT4 calls it on its
// own threads.
class TFixedRateCC : public CCC {
 public:
  explicit TFixedRateCC(double RateMbps) : FRateMbps(RateMbps) {}
  void init() override;
  double RateMbps() const noexcept { return FRateMbps; }

 private:
  const double FRateMbps;
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
