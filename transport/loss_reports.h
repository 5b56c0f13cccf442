// TLossReports: what a receiving UDT connection has not yet got, seen from the
// sequence numbers of the data packets that arrive, so its loss can be
// reported again. UDT4 reports a gap only once, when it appears; when that
// report or the packet sent again is lost on the way, the sender learns of it
// only from its time-out, which resends everything unacknowledged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class TLossReports {
 public:
  // A data packet with this sequence number (31 bits, wrapping) arrived at NowUs.
  // A gap before it counts as reported at NowUs: UDT4 reports it then.
  void Arrived(int32_t Seq, int64_t NowUs);
  // The gaps last reported IntervalUs or longer ago, oldest first, encoded as
  // UDT's loss report (a range as first | 0x80000000 followed by last, a single
  // packet as its number), at most MaxWords words; they count as reported now.
  std::vector<int32_t> Due(int64_t NowUs, int64_t IntervalUs, size_t MaxWords);
  size_t MissingPackets() const noexcept;

 private:
  struct TGap {
    int64_t Last;        // the gap's last sequence number, unwrapped
    int64_t ReportedUs;  // when it was last reported
  };
  std::map<int64_t, TGap> FGaps;  // by the first sequence number, unwrapped
  bool FStarted = false;
  int32_t FNewest = 0;    // the newest sequence number seen, as on the wire
  int64_t FNewest64 = 0;  // and unwrapped
};
