// The data qor_perf reduces and the host reference that checks the result.
// Every element of every process gets a small whole number of its own, so a
// misplaced block, a missed or doubled process shows; the values stay small
// enough that any order of addition gives the exact sum in the type (at most
// 2048 in all for half, whose whole numbers are exact up to there).
#ifndef QOR_PERF_CHECK_H
#define QOR_PERF_CHECK_H

#include <cstddef>
#include <cstdint>

namespace qor_perf {

// The input of element i on process `rank` of `processes`.
float input_value(int rank, size_t i, int processes, bool half);
// Fills buf (float or, with half, binary16) with the input of `rank`.
void fill_input(void* buf, size_t count, int rank, int processes, bool half);
// The number of elements of buf (the allreduce's result on any process)
// that differ from the sum over the processes' inputs, scaled by
// 1/processes with `average` and rounded to the type as the library does.
size_t count_wrong(const void* buf, size_t count, int processes, bool half, bool average);

}  // namespace qor_perf

#endif  // QOR_PERF_CHECK_H
