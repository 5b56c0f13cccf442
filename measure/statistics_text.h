// Texts the front-ends show for link statistics and transfer summaries, so the
// window and the terminal say the same thing.
#pragma once

#include <array>
#include <string>

#include "link_statistics.h"

// Value with the given decimals, '.' as separator.
std::string FixedText(double Value, int Decimals);
// "now (min a / avg b / max c)".
std::string RangeText(double Now, const TValueRange& Range, int Decimals);
// The figures of a transfer summary as the window and the terminal show them,
// in the order of the table of received files.
enum TSummaryColumn {
  scPeer, scName, scBytes, scSeconds, scMBps, scSha256, scResult, scLost, scAverageRtt, kSummaryColumns
};
std::array<std::string, kSummaryColumns> SummaryColumns(const TTransferSummary& Summary);
// The transfer summary as lines of text: name, bytes and time, rate, packets, SHA-256, end.
std::string SummaryText(const TTransferSummary& Summary);
