#include "link_direction.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

int64_t DefaultQueueBytes(const TDirectionSettings& Settings) {
  const double bdp = Settings.RateBitsPerS / 8 * 2 * static_cast<double>(Settings.DelayNs) / 1e9;
  return std::max<int64_t>(64'000, std::llround(bdp));
}

bool IsUdtData(const uint8_t* Packet, size_t Size) {
  if (Size < 20 || (Packet[0] >> 4) != 4 || Packet[9] != 17) return false;
  const size_t header = static_cast<size_t>(Packet[0] & 0x0f) * 4;
  constexpr size_t kUdpHeader = 8, kUdtHeader = 16;
  return Size >= header + kUdpHeader + kUdtHeader && (Packet[header + kUdpHeader] & 0x80) == 0;
}

TLinkDirection::TLinkDirection(const TDirectionSettings& Settings, uint64_t Seed)
    : FSettings(Settings), FRandom(Seed) {}

void TLinkDirection::Offer(const uint8_t* Data, size_t Size, int64_t NowNs) {
  const auto bytes = static_cast<int64_t>(Size);
  ++FCounters.PacketsIn;
  FCounters.BytesIn += bytes;
  const bool udtData = IsUdtData(Data, Size);
  FCounters.UdtDataIn += udtData;
  // 53 random bits as a number in [0, 1): the same on every platform for a seed.
  const double draw = static_cast<double>(FRandom() >> 11) * 0x1.0p-53;
  if (draw < FSettings.Loss) {
    ++FCounters.RandomDrops;
    FCounters.UdtDataDrops += udtData;
    return;
  }
  while (!FQueue.empty() && FQueue.front().DepartNs <= NowNs) {
    FQueueBytes -= FQueue.front().Bytes;
    FQueue.pop_front();
  }
  if (FQueueBytes + bytes > FSettings.QueueBytes) {
    ++FCounters.QueueDrops;
    FCounters.UdtDataDrops += udtData;
    return;
  }
  const int64_t serialization =
      FSettings.RateBitsPerS > 0 ? std::llround(static_cast<double>(bytes) * 8e9 / FSettings.RateBitsPerS)
                                 : 0;
  const int64_t start = std::max(NowNs, FLastDepartNs);
  FLastDepartNs = start + serialization;
  FQueue.push_back({FLastDepartNs, bytes});
  FQueueBytes += bytes;
  FCounters.MaxQueueBytes = std::max(FCounters.MaxQueueBytes, FQueueBytes);
  ++FCounters.Queued;
  FCounters.QueueWaitNs += start - NowNs;
  FCounters.SerializationNs += serialization;

  std::vector<uint8_t> buffer;
  if (!FSpare.empty()) {
    buffer = std::move(FSpare.back());
    FSpare.pop_back();
  }
  buffer.assign(Data, Data + Size);
  FInFlight.push_back({std::move(buffer), FLastDepartNs + FSettings.DelayNs, udtData});
}

int64_t TLinkDirection::Deliver(int ExitFd, int64_t NowNs) {
  while (!FInFlight.empty() && FInFlight.front().DueNs <= NowNs) {
    TPacket& p = FInFlight.front();
    FCounters.MaxLateNs = std::max(FCounters.MaxLateNs, NowNs - p.DueNs);
    FCounters.LateWrites += NowNs - p.DueNs > kLateNs;
    ssize_t written;
    do {
      written = ::write(ExitFd, p.Bytes.data(), p.Bytes.size());
    } while (written < 0 && errno == EINTR);
    // A refused packet is lost on the path, as a full link would lose it.
    if (written == static_cast<ssize_t>(p.Bytes.size())) {
      ++FCounters.PacketsOut;
      FCounters.BytesOut += written;
    } else {
      ++FCounters.WriteDrops;
      FCounters.UdtDataDrops += p.UdtData;
    }
    if (FSpare.size() < 256) FSpare.push_back(std::move(p.Bytes));
    FInFlight.pop_front();
  }
  return FInFlight.empty() ? INT64_MAX : FInFlight.front().DueNs;
}
