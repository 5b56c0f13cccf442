#include "link_statistics.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

namespace {

// A figure of the monitor record that a sample keeps: where it is kept, and where it is read.
template <class TKept, class TRead>
struct TField {
  TKept TLinkSample::*Kept;
  TRead TUDTTraceInfo::*Read;
};

// Calls Visit on every field of a sample after Seconds, in the order of the CSV columns.
template <class TVisit>
void ForEachField(TVisit&& Visit) {
  static constexpr TField<double, double> kRates[] = {
      {&TLinkSample::SendMbps, &TUDTTraceInfo::mbpsSendRate},
      {&TLinkSample::ReceiveMbps, &TUDTTraceInfo::mbpsRecvRate},
      {&TLinkSample::RttMs, &TUDTTraceInfo::msRTT},
      {&TLinkSample::BandwidthMbps, &TUDTTraceInfo::mbpsBandwidth}};
  static constexpr TField<int64_t, int64_t> kPackets[] = {
      {&TLinkSample::PacketsSent, &TUDTTraceInfo::pktSentTotal},
      {&TLinkSample::PacketsReceived, &TUDTTraceInfo::pktRecvTotal}};
  static constexpr TField<int64_t, int32_t> kLosses[] = {
      {&TLinkSample::Retransmitted, &TUDTTraceInfo::pktRetransTotal},
      {&TLinkSample::SendLoss, &TUDTTraceInfo::pktSndLossTotal},
      {&TLinkSample::ReceiveLoss, &TUDTTraceInfo::pktRcvLossTotal}};
  static constexpr TField<int32_t, int32_t> kWindows[] = {
      {&TLinkSample::FlowWindow, &TUDTTraceInfo::pktFlowWindow},
      {&TLinkSample::CongestionWindow, &TUDTTraceInfo::pktCongestionWindow},
      {&TLinkSample::InFlight, &TUDTTraceInfo::pktFlightSize}};
  for (const auto& f : kRates) Visit(f);
  for (const auto& f : kPackets) Visit(f);
  for (const auto& f : kLosses) Visit(f);
  for (const auto& f : kWindows) Visit(f);
}

// A rate with three decimals, a count as it is; '.' whatever the locale.
template <class T>
void PutNumber(std::ostream& Out, T v) {
  char text[64];
  std::to_chars_result r;
  if constexpr (std::is_floating_point_v<T>)
    r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 3);
  else
    r = std::to_chars(text, text + sizeof text, v);
  Out.write(text, r.ptr - text);
}

// The settings' columns after a sample's, and their values.
const char kSettingsCsvHeader[] =
    ",mss,udt_sndbuf,udt_rcvbuf,udp_sndbuf,udp_rcvbuf,fc,max_bw_bytes_per_s,block,cc_fixed_mbps";

void PutSettings(std::ostream& Out, const TLinkSettingsInForce& s) {
  for (int64_t v : {int64_t{s.Mss}, int64_t{s.SndBuf}, int64_t{s.RcvBuf}, int64_t{s.UdpSndBuf},
                    int64_t{s.UdpRcvBuf}, int64_t{s.FlowWindow}, s.MaxBandwidth, int64_t{s.Block}}) {
    Out << ',';
    PutNumber(Out, v);
  }
  Out << ',';
  PutNumber(Out, s.FixedRateMbps);
}

}  // namespace

static void WriteSamples(std::ostream& Out, const std::vector<TLinkSample>& Samples,
                         const TLinkSettingsInForce* Settings);

TLinkSample SampleOf(const TUDTTraceInfo& Info, double Seconds) {
  TLinkSample s;
  s.Seconds = Seconds;
  ForEachField([&](const auto& f) { s.*f.Kept = Info.*f.Read; });
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

static void WriteSamples(std::ostream& Out, const std::vector<TLinkSample>& Samples,
                         const TLinkSettingsInForce* Settings) {
  Out << kLinkSampleCsvHeader << (Settings ? kSettingsCsvHeader : "") << '\n';
  for (const TLinkSample& s : Samples) {
    PutNumber(Out, s.Seconds);
    ForEachField([&](const auto& f) {
      Out << ',';
      PutNumber(Out, s.*f.Kept);
    });
    if (Settings) PutSettings(Out, *Settings);
    Out << '\n';
  }
}

void WriteSamplesCsv(std::ostream& Out, const std::vector<TLinkSample>& Samples) {
  WriteSamples(Out, Samples, nullptr);
}

void WriteSamplesCsv(std::ostream& Out, const std::vector<TLinkSample>& Samples,
                     const TLinkSettingsInForce& Settings) {
  WriteSamples(Out, Samples, &Settings);
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
