#include "fixed_rate_cc.h"

#include <arpa/inet.h>
#include <sys/uio.h>
#include <udt/packet.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

// UDT4's data packet carries MSS - 44 bytes: IPv4 and UDP headers (28) and its own (16).
constexpr int kHeaderBytes = 44;
// The flow window's default, for a control that is told none.
constexpr double kDefaultWindow = 25600;
// How often the gap is corrected, and how far it may shrink.
constexpr int64_t kCorrectionMs = 100;
constexpr double kShortestGap = 0.5;
// How often the receiving side looks for gaps to report again, and the most
// words (4 bytes each) one report carries; never more than a packet's payload,
// which is all the peer reads of it (UDT4 limits its own reports the same way).
constexpr int64_t kDueCheckUs = 10'000;
constexpr size_t kReportWords = 128;
// UDT's control packet type of a loss report.
constexpr uint32_t kLossReport = 3;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// UDT4 exports no way to build a packet of its own (CPacket's members are not
// in the library's symbols), yet CCC::sendCustomMsg sends one. This is
// CPacket's layout in 4.11: the five alias references, the header, the two
// pieces of the vector and the padding; the aliases point into the header and
// the vector, as CPacket's constructor sets them.
struct TControlPacket {
  int32_t* SeqNo;
  int32_t* MsgNo;
  int32_t* TimeStamp;
  int32_t* Id;
  char** Data;
  uint32_t Header[4];
  iovec Vector[2];
  int32_t Pad;

  TControlPacket(uint32_t Type, int32_t* Words, size_t Count)
      : SeqNo(reinterpret_cast<int32_t*>(&Header[0])),
        MsgNo(reinterpret_cast<int32_t*>(&Header[1])),
        TimeStamp(reinterpret_cast<int32_t*>(&Header[2])),
        Id(reinterpret_cast<int32_t*>(&Header[3])),
        Data(reinterpret_cast<char**>(&Vector[1].iov_base)),
        Header{0x80000000u | (Type << 16), 0, 0, 0},
        Vector{{Header, sizeof Header}, {Words, Count * sizeof(int32_t)}},
        Pad(0) {}
  TControlPacket(const TControlPacket&) = delete;
  TControlPacket& operator=(const TControlPacket&) = delete;
};
static_assert(sizeof(TControlPacket) == sizeof(CPacket), "UDT4's CPacket is not laid out as in 4.11");

// A packet's payload length: the second piece of its vector.
size_t PayloadBytes(const CPacket* Packet) {
  size_t length = 0;
  std::memcpy(&length,
              reinterpret_cast<const unsigned char*>(Packet) + offsetof(TControlPacket, Vector) +
                  sizeof(iovec) + offsetof(iovec, iov_len),
              sizeof length);
  return length;
}


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
  const int64_t bytes = FSentBytes.load(std::memory_order_relaxed);
  if (FLastMs < 0 || perf->msTimeStamp < FLastMs) {
    FLastMs = perf->msTimeStamp;
    FLastBytes = bytes;
    return;
  }
  const int64_t ms = perf->msTimeStamp - FLastMs;
  if (ms < kCorrectionMs) return;
  const double reached = (bytes - FLastBytes) * 8.0 / (ms * 1000.0);
  FLastMs = perf->msTimeStamp;
  FLastBytes = bytes;
  // Nothing to send (the application was slow) says nothing about the gap.
  if (reached <= 0) return;
  m_dPktSndPeriod = std::clamp(m_dPktSndPeriod * reached / FRateMbps, FNominalPeriod * kShortestGap,
                               FNominalPeriod);
}

void TFixedRateCC::onPktSent(const CPacket* Packet) {
  FSentBytes.fetch_add(static_cast<int64_t>(PayloadBytes(Packet)), std::memory_order_relaxed);
}

void TFixedRateCC::onPktReceived(const CPacket* Packet) {
  const int64_t now = NowUs();
  FMissing.Arrived(Packet->m_iSeqNo, now);
  if (now - FLastDueUs < kDueCheckUs) return;
  FLastDueUs = now;
  // The report and the packet sent again take a round trip; half a round trip
  // more, and 10 ms for the sender's clock, before the gap is reported again.
  const int64_t rttUs = m_iRTT > 0 ? m_iRTT : 100'000;
  std::vector<int32_t> words = FMissing.Due(now, rttUs + rttUs / 2 + 10'000,
                                            std::min(kReportWords, static_cast<size_t>(FPayload) / 4));
  if (words.empty()) return;
  // UDT4 sends the loss list in network order: it turns a control packet's
  // words around itself (CChannel::sendto), the header too.
  alignas(CPacket) unsigned char storage[sizeof(CPacket)];
  auto* packet = new (storage) TControlPacket(kLossReport, words.data(), words.size());
  sendCustomMsg(*std::launder(reinterpret_cast<CPacket*>(storage)));
  packet->~TControlPacket();
}
