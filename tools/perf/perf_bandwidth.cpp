#include "perf_bandwidth.h"

#include <algorithm>

namespace qor_perf {

double algbw(size_t bytes, double seconds) {
  return seconds > 0.0 ? static_cast<double>(bytes) / seconds / 1e9 : 0.0;
}

double busbw(size_t bytes, double seconds, int processes) {
  if (processes < 1) return 0.0;
  return algbw(bytes, seconds) * 2.0 * (processes - 1) / processes;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

}  // namespace qor_perf
