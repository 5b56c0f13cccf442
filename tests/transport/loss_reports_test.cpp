// The receiving side's record of what has not arrived: gaps as they appear,
// resends that fill or split them, when they are due again, and sequence
// numbers that wrap at 2^31.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "loss_reports.h"

namespace {

constexpr int32_t kRange = static_cast<int32_t>(0x80000000u);
constexpr int64_t kInterval = 1000;

TEST(LossReports, GapsAreDueAfterTheIntervalAndResendsFillOrSplitThem) {
  TLossReports r;
  for (int32_t s : {10, 11, 15, 16, 18}) r.Arrived(s, 0);  // 12-14 and 17 missing
  EXPECT_EQ(r.MissingPackets(), 4u);
  EXPECT_TRUE(r.Due(kInterval - 1, kInterval, 100).empty()) << "UDT4 reported them at 0 itself";
  EXPECT_EQ(r.Due(kInterval, kInterval, 100), (std::vector<int32_t>{12 | kRange, 14, 17}));
  EXPECT_TRUE(r.Due(kInterval + 1, kInterval, 100).empty()) << "reported again just now";

  r.Arrived(13, 1500);  // splits 12-14
  r.Arrived(17, 1500);  // fills 17
  r.Arrived(17, 1600);  // a duplicate changes nothing
  EXPECT_EQ(r.MissingPackets(), 2u);
  EXPECT_EQ(r.Due(2 * kInterval, kInterval, 100), (std::vector<int32_t>{12, 14}));
  r.Arrived(25, 2000);  // a new gap 19-24, reported by UDT4 now
  EXPECT_EQ(r.Due(3 * kInterval, kInterval, 100), (std::vector<int32_t>{12, 14, 19 | kRange, 24}));
  // A report holds whole entries only; what does not fit waits for the next.
  EXPECT_EQ(r.Due(4 * kInterval, kInterval, 3), (std::vector<int32_t>{12, 14}));
  EXPECT_EQ(r.Due(4 * kInterval, kInterval, 3), (std::vector<int32_t>{19 | kRange, 24}));
}

TEST(LossReports, SequenceNumbersWrapAround) {
  TLossReports r;
  const int32_t last = 0x7FFFFFFF;
  r.Arrived(last - 1, 0);
  r.Arrived(1, 0);  // last and 0 missing, across the wrap
  EXPECT_EQ(r.MissingPackets(), 2u);
  EXPECT_EQ(r.Due(kInterval, kInterval, 10), (std::vector<int32_t>{last | kRange, 0}));
  r.Arrived(last, kInterval);
  EXPECT_EQ(r.Due(2 * kInterval, kInterval, 10), (std::vector<int32_t>{0}));
  r.Arrived(0, 2 * kInterval);
  r.Arrived(last - 5, 2 * kInterval);  // an old resend, long acknowledged
  EXPECT_EQ(r.MissingPackets(), 0u);
}

}  // namespace
