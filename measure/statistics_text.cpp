#include "statistics_text.h"

#include <charconv>

std::string FixedText(double Value, int Decimals) {
  char text[64];
  auto r = std::to_chars(text, text + sizeof text, Value, std::chars_format::fixed, Decimals);
  return std::string(text, r.ptr);
}

std::string RangeText(double Now, const TValueRange& Range, int Decimals) {
  return FixedText(Now, Decimals) + " (min " + FixedText(Range.Min, Decimals) + " / avg " +
         FixedText(Range.Average, Decimals) + " / max " + FixedText(Range.Max, Decimals) + ")";
}

std::array<std::string, kSummaryColumns> SummaryColumns(const TTransferSummary& s) {
  return {s.Peer,
          s.Name,
          std::to_string(s.Bytes),
          FixedText(s.Seconds, 2),
          FixedText(s.MBps, 2),
          s.Sha256,
          OutcomeName(s.Outcome),
          std::to_string(s.Lost),
          FixedText(s.AverageRttMs, 3)};
}

std::string SummaryText(const TTransferSummary& s) {
  const auto c = SummaryColumns(s);
  return "Transfer " + c[scResult] + ": " + c[scName] + "\n" + c[scBytes] + " bytes in " +
         c[scSeconds] + " s, " + c[scMBps] + " MB/s; retransmitted " +
         std::to_string(s.Retransmitted) + ", lost " + c[scLost] + " (" +
         FixedText(s.LossPercent, 2) + " %)\n" + "SHA-256 " + c[scSha256];
}
