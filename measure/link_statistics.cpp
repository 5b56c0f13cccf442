#include "link_statistics.h"

#include <algorithm>
#include <charconv>

namespace {

void PutNumber(std::ostream& Out, double v) {
  char text[64];
  auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 3);
  Out.write(text, r.ptr - text);
}

void PutNumber(std::ostream& Out, int64_t v) {
  char text[32];
  auto r = std::to_chars(text, text + sizeof text, v);
  Out.write(text, r.ptr - text);
}

}  // namespace

TLinkSample SampleOf(const TUDTTraceInfo& Info, double Seconds) {
  TLinkSample s;
  s.Seconds = Seconds;
  s.SendMbps = Info.mbpsSendRate;
  s.ReceiveMbps = Info.mbpsRecvRate;
  s.RttMs = Info.msRTT;
  s.BandwidthMbps = Info.mbpsBandwidth;
  s.PacketsSent = Info.pktSentTotal;
  s.PacketsReceived = Info.pktRecvTotal;
  s.Retransmitted = Info.pktRetransTotal;
  s.SendLoss = Info.pktSndLossTotal;
  s.ReceiveLoss = Info.pktRcvLossTotal;
  s.FlowWindow = Info.pktFlowWindow;
  s.CongestionWindow = Info.pktCongestionWindow;
  s.InFlight = Info.pktFlightSize;
  return s;
}

void TValueRange::Add(double Value) {
  if (Count == 0) {
    Min = Max = Average = Value;
  } else {
    Min = std::min(Min, Value);
    Max = std::max(Max, Value);
    Average += (Value - Average) / static_cast<double>(Count + 1);
  }
  ++Count;
}

void TLinkStatistics::Clear() {
  FSamples.clear();
  FRtt = {};
  FBandwidth = {};
}

void TLinkStatistics::Add(const TLinkSample& Sample) {
  FSamples.push_back(Sample);
  FRtt.Add(Sample.RttMs);
  FBandwidth.Add(Sample.BandwidthMbps);
}

const char* const kLinkSampleCsvHeader =
    "seconds,send_mbps,receive_mbps,rtt_ms,bandwidth_mbps,packets_sent,packets_received,"
    "packets_retransmitted,send_loss,receive_loss,flow_window,congestion_window,packets_in_flight";

void WriteSamplesCsv(std::ostream& Out, const std::vector<TLinkSample>& Samples) {
  Out << kLinkSampleCsvHeader << '\n';
  for (const TLinkSample& s : Samples) {
    for (double v : {s.Seconds, s.SendMbps, s.ReceiveMbps, s.RttMs, s.BandwidthMbps}) {
      PutNumber(Out, v);
      Out << ',';
    }
    for (int64_t v : {s.PacketsSent, s.PacketsReceived, s.Retransmitted, s.SendLoss, s.ReceiveLoss,
                      int64_t{s.FlowWindow}, int64_t{s.CongestionWindow}}) {
      PutNumber(Out, v);
      Out << ',';
    }
    PutNumber(Out, int64_t{s.InFlight});
    Out << '\n';
  }
}

bool TLinkMonitor::Tick(const TUDTBaseSocket& Socket) {
  const auto now = std::chrono::steady_clock::now();
  const std::optional<TUDTTraceInfo> info = Socket.PerfMon(true);
  FLive = info.has_value();
  if (!info) return false;
  if (Socket.Handle() != FHandle) {
    // A new connection: its first reading only opens the first interval.
    FHandle = Socket.Handle();
    FStart = now;
    FStatistics.Clear();
    return true;
  }
  FStatistics.Add(SampleOf(*info, std::chrono::duration<double>(now - FStart).count()));
  return true;
}

const char* OutcomeName(TTransferOutcome Outcome) {
  switch (Outcome) {
    case TTransferOutcome::Complete: return "complete";
    case TTransferOutcome::Cancelled: return "cancelled";
    case TTransferOutcome::Failed: return "failed";
    case TTransferOutcome::Cut: return "cut";
    case TTransferOutcome::Refused: return "refused";
  }
  return "";
}
