// The running ranges of the link statistics, over samples of known values.
#include <gtest/gtest.h>

#include "link_statistics.h"

namespace {

TEST(LinkStatisticsTest, RangesHoldTheMinimumAverageAndMaximumOfTheSamplesUntilCleared) {
  TLinkStatistics stats;
  const double rtts[] = {4, 2, 9};
  const double bandwidths[] = {100, 300, 200};
  for (int i = 0; i < 3; ++i) {
    TLinkSample s;
    s.RttMs = rtts[i];
    s.BandwidthMbps = bandwidths[i];
    stats.Add(s);
  }
  const TValueRange& rtt = stats.Rtt();
  EXPECT_EQ(rtt.Count, 3);
  EXPECT_DOUBLE_EQ(rtt.Min, 2);
  EXPECT_DOUBLE_EQ(rtt.Average, 5);
  EXPECT_DOUBLE_EQ(rtt.Max, 9);
  const TValueRange& bandwidth = stats.Bandwidth();
  EXPECT_DOUBLE_EQ(bandwidth.Min, 100);
  EXPECT_DOUBLE_EQ(bandwidth.Average, 200);
  EXPECT_DOUBLE_EQ(bandwidth.Max, 300);

  stats.Clear();
  EXPECT_TRUE(stats.Samples().empty());
  EXPECT_EQ(stats.Rtt().Count, 0);
  EXPECT_EQ(stats.Rtt().Average, 0);
  EXPECT_EQ(stats.Bandwidth().Max, 0);
}

}  // namespace
