// The spread of a sample of times or rates: what the command line prints after
// its round trips and the benchmarks after their runs.
#pragma once

#include <cstddef>
#include <vector>

// Minimum, median, 99th percentile (nearest rank) and maximum of a sample, and
// how many values it counted.
struct TSpread {
  double Min = 0, Median = 0, P99 = 0, Max = 0;
  size_t Count = 0;
};

// The spread of Values, NaNs left out; all zero for none.
TSpread SpreadOf(std::vector<double> Values);
