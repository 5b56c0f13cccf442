#include "transfer_figures.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <cstdio>

std::string Sha256OfFile(const std::string& Path) {
  QFile file(QString::fromStdString(Path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&file)) return {};
  return hash.result().toHex().toStdString();
}

std::optional<TLinkFigures> LinkFigures(int32_t) {
  // UDT4's per-connection counters are not offered by the transport yet.
  return std::nullopt;
}

std::string TTransferSummary::Text() const {
  char figures[160];
  std::snprintf(figures, sizeof figures, "%lld bytes, %.3f s, %.2f MB/s",
                static_cast<long long>(Bytes), Seconds, MegabytesPerSecond());
  std::string text = Name + ": " + figures;
  if (Link) {
    std::snprintf(figures, sizeof figures, ", RTT %.3f ms, loss %lld, retransmits %lld",
                  Link->RttMs, static_cast<long long>(Link->Lost),
                  static_cast<long long>(Link->Retransmitted));
    text += figures;
  } else {
    text += ", RTT n/a, loss n/a, retransmits n/a";
  }
  return text + ", sha256 " + (Sha256.empty() ? std::string("n/a") : Sha256);
}

QJsonObject TTransferSummary::Json() const {
  QJsonObject o{{"name", QString::fromStdString(Name)},
                {"bytes", static_cast<qint64>(Bytes)},
                {"seconds", Seconds},
                {"mb_per_s", MegabytesPerSecond()},
                {"sha256", Sha256.empty() ? QJsonValue() : QString::fromStdString(Sha256)}};
  o["rtt_ms"] = Link ? QJsonValue(Link->RttMs) : QJsonValue();
  o["loss"] = Link ? QJsonValue(static_cast<qint64>(Link->Lost)) : QJsonValue();
  o["retransmits"] = Link ? QJsonValue(static_cast<qint64>(Link->Retransmitted)) : QJsonValue();
  return o;
}

TSpread SpreadOf(std::vector<double> Times) {
  TSpread s;
  if (Times.empty()) return s;
  std::sort(Times.begin(), Times.end());
  const size_t n = Times.size();
  s.Min = Times.front();
  s.Max = Times.back();
  s.Median = n % 2 ? Times[n / 2] : (Times[n / 2 - 1] + Times[n / 2]) / 2;
  const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
  s.P99 = Times[std::max<size_t>(rank, 1) - 1];
  return s;
}
