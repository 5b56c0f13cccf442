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

std::string SummaryText(const TTransferSummary& s) {
  return "Transfer " + std::string(OutcomeName(s.Outcome)) + ": " + s.Name + "\n" +
         std::to_string(s.Bytes) + " bytes in " + FixedText(s.Seconds, 2) + " s, " +
         FixedText(s.MBps, 2) + " MB/s; retransmitted " + std::to_string(s.Retransmitted) +
         ", lost " + std::to_string(s.Lost) + " (" + FixedText(s.LossPercent, 2) + " %)\n" +
         "SHA-256 " + s.Sha256;
}
