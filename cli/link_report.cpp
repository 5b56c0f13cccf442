#include "link_report.h"

#include <QJsonArray>
#include <algorithm>
#include <cstdio>

#include "bench_options.h"
#include "cli_output.h"
#include "udt_h.h"

QJsonValue SettingsJson(const std::optional<TLinkSettingsInForce>& s) {
  if (!s) return QJsonValue();
  return QJsonObject{
      {"mss", s->Mss},
      {"sndbuf", s->SndBuf},
      {"rcvbuf", s->RcvBuf},
      {"udp_sndbuf", s->UdpSndBuf},
      {"udp_rcvbuf", s->UdpRcvBuf},
      {"fc", s->FlowWindow},
      {"max_rate_mbit", s->MaxBandwidth < 0 ? QJsonValue() : QJsonValue(s->MaxBandwidth * 8 / 1e6)},
      {"block", s->Block},
      {"cc", s->FixedRateMbps > 0 ? QStringLiteral("fixed:%1").arg(s->FixedRateMbps)
                                  : QStringLiteral("native")},
  };
}

TIntervalReport::TIntervalReport(TCliOutput& Output, double Seconds, TSource Source)
    : FOutput(Output), FSeconds(Seconds), FSource(std::move(Source)) {
  FTimer.setInterval(static_cast<int>(Seconds * 1000));
  FTimer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
  FTimer.start();
}

void TIntervalReport::Tick() {
  ++FTicks;
  for (const auto& [label, handle] : FSource()) {
    TUDTTraceInfo p{};
    // Clearing starts the next interval; the totals the summaries use run on.
    if (udt_perfmon(handle, &p, 1) != 0) continue;
    if (std::find(FSeen.begin(), FSeen.end(), handle) == FSeen.end()) {
      FSeen.push_back(handle);
      continue;
    }
    char line[320];
    std::snprintf(line, sizeof line,
                  "%s %.1f s: send %.1f Mbit/s, receive %.1f Mbit/s, RTT %.3f ms, loss %d sent / %d "
                  "received, retransmits %d, flow window %d, congestion window %d, in flight %d",
                  label.c_str(), FTicks * FSeconds, p.mbpsSendRate, p.mbpsRecvRate, p.msRTT,
                  p.pktSndLoss, p.pktRcvLoss, p.pktRetrans, p.pktFlowWindow, p.pktCongestionWindow,
                  p.pktFlightSize);
    FOutput.Line(line);
    FOutput.Event({{"event", "stats"},
                   {"connection", QString::fromStdString(label)},
                   {"seconds", FTicks * FSeconds},
                   {"interval_s", FSeconds},
                   {"send_mbps", p.mbpsSendRate},
                   {"receive_mbps", p.mbpsRecvRate},
                   {"rtt_ms", p.msRTT},
                   {"send_loss", p.pktSndLoss},
                   {"receive_loss", p.pktRcvLoss},
                   {"retransmits", p.pktRetrans},
                   {"flow_window", p.pktFlowWindow},
                   {"congestion_window", p.pktCongestionWindow},
                   {"in_flight", p.pktFlightSize}});
  }
}

std::optional<int> ReadInterval(const QString& Text, bool Given, std::optional<double>& Seconds) {
  if (!Given) return std::nullopt;
  bool ok = false;
  const double s = Text.toDouble(&ok);
  if (!ok || s < 0.1 || s > 3600) {
    PrintError("--interval " + Text.toStdString() + ": give SECONDS from 0.1 to 3600 (see --help)");
    return ecUsage;
  }
  Seconds = s;
  return std::nullopt;
}
