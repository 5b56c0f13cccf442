#include "fixed_rate_cc.h"

#include <algorithm>

namespace {

// UDT4's data packet carries MSS - 44 bytes: IPv4 and UDP headers (28) and its own (16).
constexpr int kHeaderBytes = 44;
// The flow window's default, for a control that is told none.
constexpr double kDefaultWindow = 25600;
// How often the gap is corrected, and how far it may shrink.
constexpr int64_t kCorrectionMs = 100;
constexpr double kShortestGap = 0.5;

}  // namespace

void TFixedRateCC::init() {
  FPayload = m_iMSS > kHeaderBytes ? m_iMSS - kHeaderBytes : 1;
  // One packet every payload * 8 / rate microseconds.
  FNominalPeriod = FRateMbps > 0 ? FPayload * 8.0 / FRateMbps : 1.0;
  m_dPktSndPeriod = FNominalPeriod;
  m_dCWndSize = m_dMaxCWndSize > 0 ? m_dMaxCWndSize : kDefaultWindow;
}

void TFixedRateCC::onACK(int32_t) {
  const CPerfMon* perf = getPerfInfo();
  if (!perf || FRateMbps <= 0) return;
  if (FLastMs < 0 || perf->msTimeStamp < FLastMs) {
    FLastMs = perf->msTimeStamp;
    FLastPackets = perf->pktSentTotal;
    return;
  }
  const int64_t ms = perf->msTimeStamp - FLastMs;
  if (ms < kCorrectionMs) return;
  const double reached = (perf->pktSentTotal - FLastPackets) * FPayload * 8.0 / (ms * 1000.0);
  FLastMs = perf->msTimeStamp;
  FLastPackets = perf->pktSentTotal;
  // Nothing to send (the application was slow) says nothing about the gap.
  if (reached <= 0) return;
  m_dPktSndPeriod = std::clamp(m_dPktSndPeriod * reached / FRateMbps, FNominalPeriod * kShortestGap,
                               FNominalPeriod);
}
