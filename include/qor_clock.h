// The library's one clock: CLOCK_MONOTONIC in seconds, as every timing
// (step timings, statistics, barrier jitter, end-to-end times, bounded
// waits) is kept.
#pragma once

#include <time.h>

namespace qor {

inline double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace qor
