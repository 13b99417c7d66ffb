// The bandwidth figures of qor_perf, in GB/s (10^9 bytes per second).
#ifndef QOR_PERF_BANDWIDTH_H
#define QOR_PERF_BANDWIDTH_H

#include <cstddef>
#include <vector>

namespace qor_perf {

// Bytes of the buffer per second of one call.
double algbw(size_t bytes, double seconds);
// What each process's link carries: a ring allreduce of n processes sends
// and receives 2(n-1)/n of the buffer per process, so busbw = algbw * 2(n-1)/n
// (0 for one process, which moves nothing).
double busbw(size_t bytes, double seconds, int processes);
// The median of the values (the mean of the middle two for an even count).
double median(std::vector<double> values);

}  // namespace qor_perf

#endif  // QOR_PERF_BANDWIDTH_H
