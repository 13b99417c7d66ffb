// The engine's clock: CLOCK_MONOTONIC in seconds, as every timing of the
// engine (step timings, statistics, barrier jitter) is kept.
#pragma once

#include <time.h>

namespace qor {
namespace network {

inline double engine_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace network
}  // namespace qor
