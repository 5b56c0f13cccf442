// The figures udtbench-cli reports: a file's SHA-256, what UDT4 measured on a
// connection, and the spread of round-trip times.
#pragma once

#include <QJsonObject>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The SHA-256 of a file's content in lower-case hex; empty when it cannot be read.
std::string Sha256OfFile(const std::string& Path);

// What UDT4 measured on one connection since it opened.
struct TLinkFigures {
  double RttMs = 0;          // smoothed round-trip time
  int64_t Lost = 0;          // packets reported lost (sent side plus received side)
  int64_t Retransmitted = 0;  // packets sent again
};

// The figures of the connection with UDT handle Handle, or none when UDT4 cannot tell.
std::optional<TLinkFigures> LinkFigures(int32_t Handle);

// One transfer as reported: bytes, seconds and rate, the link's figures, the SHA-256.
struct TTransferSummary {
  std::string Name;
  int64_t Bytes = 0;
  double Seconds = 0;
  std::optional<TLinkFigures> Link;
  std::string Sha256;
  // Megabytes (10^6 bytes) per second; 0 for no time.
  double MegabytesPerSecond() const { return Seconds > 0 ? Bytes / Seconds / 1e6 : 0; }
  // "NAME: N bytes, S s, X MB/s, RTT R ms, loss L, retransmits T, sha256 H".
  std::string Text() const;
  // The same as JSON fields.
  QJsonObject Json() const;
};

// Minimum, median, 99th percentile (nearest rank) and maximum of a list of times.
struct TSpread {
  double Min = 0, Median = 0, P99 = 0, Max = 0;
};
// The spread of Times; all zero for none.
TSpread SpreadOf(std::vector<double> Times);
