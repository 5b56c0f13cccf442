#include "loss_reports.h"

namespace {

constexpr int64_t kSeqSpace = int64_t{1} << 31;
// A connection tracks at most this many gaps; the oldest go first, and their
// packets are then left to the sender's time-out.
constexpr size_t kMostGaps = 4096;

// How far B is after A in the 31-bit sequence space, as UDT4 compares them.
int64_t Offset(int32_t A, int32_t B) {
  int64_t d = static_cast<int64_t>(B) - A;
  if (d > kSeqSpace / 2) d -= kSeqSpace;
  if (d < -kSeqSpace / 2) d += kSeqSpace;
  return d;
}

int32_t OnWire(int64_t Seq) { return static_cast<int32_t>(((Seq % kSeqSpace) + kSeqSpace) % kSeqSpace); }

}  // namespace

void TLossReports::Arrived(int32_t Seq, int64_t NowUs) {
  if (!FStarted) {
    FStarted = true;
    FNewest = Seq;
    FNewest64 = Seq;
    return;
  }
  const int64_t seq = FNewest64 + Offset(FNewest, Seq);
  if (seq > FNewest64) {
    if (seq > FNewest64 + 1) FGaps[FNewest64 + 1] = {seq - 1, NowUs};
    while (FGaps.size() > kMostGaps) FGaps.erase(FGaps.begin());
    FNewest64 = seq;
    FNewest = Seq;
    return;
  }
  // A packet sent again: it fills its gap, or splits it.
  auto g = FGaps.upper_bound(seq);
  if (g == FGaps.begin()) return;
  --g;
  const int64_t first = g->first;
  const TGap gap = g->second;
  if (seq > gap.Last) return;
  FGaps.erase(g);
  if (first < seq) FGaps[first] = {seq - 1, gap.ReportedUs};
  if (seq < gap.Last) FGaps[seq + 1] = {gap.Last, gap.ReportedUs};
}

std::vector<int32_t> TLossReports::Due(int64_t NowUs, int64_t IntervalUs, size_t MaxWords) {
  std::vector<int32_t> words;
  for (auto& [first, gap] : FGaps) {
    if (NowUs - gap.ReportedUs < IntervalUs) continue;
    const size_t need = first == gap.Last ? 1 : 2;
    if (words.size() + need > MaxWords) break;
    if (need == 1) {
      words.push_back(OnWire(first));
    } else {
      words.push_back(static_cast<int32_t>(static_cast<uint32_t>(OnWire(first)) | 0x80000000u));
      words.push_back(OnWire(gap.Last));
    }
    gap.ReportedUs = NowUs;
  }
  return words;
}

size_t TLossReports::MissingPackets() const noexcept {
  size_t n = 0;
  for (const auto& [first, gap] : FGaps) n += static_cast<size_t>(gap.Last - first + 1);
  return n;
}
