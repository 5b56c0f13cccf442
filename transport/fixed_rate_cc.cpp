#include "fixed_rate_cc.h"

namespace {

// UDT4's data packet carries MSS - 44 bytes: IPv4 and UDP headers (28) and its own (16).
constexpr int kHeaderBytes = 44;
// The flow window's default, for a control that is told none.
constexpr double kDefaultWindow = 25600;

}  // namespace

void TFixedRateCC::init() {
  const int payload = m_iMSS > kHeaderBytes ? m_iMSS - kHeaderBytes : 1;
  // One packet every payload * 8 / rate microseconds.
  m_dPktSndPeriod = FRateMbps > 0 ? payload * 8.0 / FRateMbps : 1.0;
  m_dCWndSize = m_dMaxCWndSize > 0 ? m_dMaxCWndSize : kDefaultWindow;
}
