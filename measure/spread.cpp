#include "spread.h"

#include <algorithm>
#include <cmath>

TSpread SpreadOf(std::vector<double> Values) {
  TSpread s;
  Values.erase(std::remove_if(Values.begin(), Values.end(), [](double v) { return std::isnan(v); }),
               Values.end());
  s.Count = Values.size();
  if (Values.empty()) return s;
  std::sort(Values.begin(), Values.end());
  const size_t n = Values.size();
  s.Min = Values.front();
  s.Max = Values.back();
  s.Median = n % 2 ? Values[n / 2] : (Values[n / 2 - 1] + Values[n / 2]) / 2;
  // The nearest rank: the smallest value with at least 99 % of the sample at or below it.
  s.P99 = Values[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1];
  return s;
}
