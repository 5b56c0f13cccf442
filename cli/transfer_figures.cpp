#include "transfer_figures.h"

#include <cstdio>
#include <fstream>

#include "sha256.h"

std::string Sha256OfFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) return {};
  TSha256 hash;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
    hash.Update(buffer, static_cast<size_t>(in.gcount()));
  if (in.bad()) return {};
  return hash.HexDigest();
}

void AddPacketCounts(const TUDTBaseSocket& Socket, bool Sending,
                     const std::optional<TUDTTraceInfo>& Since, QJsonObject& Event) {
  const std::optional<TUDTTraceInfo> now = Socket.PerfMon(false);
  if (!now) return;
  const TUDTTraceInfo zero{};
  const TUDTTraceInfo& a = Since ? *Since : zero;
  if (Sending)
    Event["data_packets_sent"] = static_cast<qint64>(now->pktSentTotal - a.pktSentTotal);
  else
    Event["data_packets_received"] = static_cast<qint64>(now->pktRecvTotal - a.pktRecvTotal);
}

std::string SummaryLine(const TTransferSummary& Summary) {
  char figures[160];
  std::snprintf(figures, sizeof figures, "%lld bytes, %.3f s, %.2f MB/s",
                static_cast<long long>(Summary.Bytes), Summary.Seconds, Summary.MBps);
  std::string text = Summary.Name + ": " + figures;
  if (Summary.LinkMeasured) {
    std::snprintf(figures, sizeof figures, ", RTT %.3f ms, loss %lld, retransmits %lld",
                  Summary.AverageRttMs, static_cast<long long>(Summary.Lost),
                  static_cast<long long>(Summary.Retransmitted));
    text += figures;
  } else {
    text += ", RTT n/a, loss n/a, retransmits n/a";
  }
  return text + ", sha256 " + (Summary.Sha256.empty() ? std::string("n/a") : Summary.Sha256);
}

QJsonObject SummaryJson(const TTransferSummary& Summary) {
  auto link = [&Summary](const QJsonValue& v) { return Summary.LinkMeasured ? v : QJsonValue(); };
  return {{"name", QString::fromStdString(Summary.Name)},
          {"bytes", static_cast<qint64>(Summary.Bytes)},
          {"seconds", Summary.Seconds},
          {"mb_per_s", Summary.MBps},
          {"rtt_ms", link(Summary.AverageRttMs)},
          {"loss", link(static_cast<qint64>(Summary.Lost))},
          {"loss_percent", link(Summary.LossPercent)},
          {"retransmits", link(static_cast<qint64>(Summary.Retransmitted))},
          {"sha256", Summary.Sha256.empty() ? QJsonValue() : QString::fromStdString(Summary.Sha256)}};
}
