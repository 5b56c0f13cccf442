#include "transfer_meter.h"

namespace {

// How often the monitor is read while pieces pass, for the average RTT and in
// case the connection is gone by the end.
constexpr std::chrono::milliseconds kReadInterval{250};

std::atomic<bool> g_hashing{true};

}  // namespace

void TTransferMeter::SetHashing(bool On) noexcept { g_hashing = On; }

void TTransferMeter::Begin(const TUDTBaseSocket& Socket, TSide Side) {
  FHash.Reset();
  FSide = Side;
  FBytes = 0;
  FRtt = {};
  FFirst.reset();
  FLast.reset();
  FStart = std::chrono::steady_clock::now();
  Read(Socket);
  FFirst = FLast;
}

void TTransferMeter::Add(const TUDTBaseSocket& Socket, const void* Buf, int32_t Count) {
  if (Count <= 0) return;
  if (g_hashing.load(std::memory_order_relaxed)) FHash.Update(Buf, static_cast<size_t>(Count));
  FBytes += Count;
  if (std::chrono::steady_clock::now() - FLastRead >= kReadInterval) Read(Socket);
}

void TTransferMeter::Read(const TUDTBaseSocket& Socket) {
  FLastRead = std::chrono::steady_clock::now();
  if (auto info = Socket.PerfMon(false)) {
    FLast = info;
    FRtt.Add(info->msRTT);
  }
}

TTransferSummary TTransferMeter::Finish(const TUDTBaseSocket& Socket, TTransferOutcome Outcome) {
  Read(Socket);
  TTransferSummary s;
  s.Bytes = FBytes;
  s.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  s.MBps = s.Seconds > 0 ? static_cast<double>(FBytes) / 1e6 / s.Seconds : 0;
  s.Sha256 = g_hashing ? FHash.HexDigest() : std::string();
  s.Outcome = Outcome;
  s.AverageRttMs = FRtt.Average;
  s.LinkMeasured = FFirst && FLast;
  if (s.LinkMeasured) {
    const TUDTTraceInfo& a = *FFirst;
    const TUDTTraceInfo& b = *FLast;
    s.Retransmitted = b.pktRetransTotal - a.pktRetransTotal;
    const bool sending = FSide == TSide::Sending;
    s.Lost = sending ? b.pktSndLossTotal - a.pktSndLossTotal : b.pktRcvLossTotal - a.pktRcvLossTotal;
    const int64_t packets = sending ? b.pktSentTotal - a.pktSentTotal : b.pktRecvTotal - a.pktRecvTotal;
    s.LossPercent = packets > 0 ? 100.0 * static_cast<double>(s.Lost) / static_cast<double>(packets) : 0;
  }
  return s;
}
