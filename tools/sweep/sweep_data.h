// The data of the randomized sweep and the long runs: every element of every
// process and call gets a small whole number of its own, so that a shifted
// block, a missed or doubled process or a stale result shows, and any order
// of addition gives the exact sum.  Around the elements lie guard elements
// that must come back untouched.
#ifndef QOR_SWEEP_DATA_H
#define QOR_SWEEP_DATA_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qor_sweep {

constexpr size_t guard_elements = 16;

// One buffer of a call: `offset` elements of slack, the guards, the data and
// the guards again, in float or binary16 elements.
struct layout {
  size_t count = 0;
  size_t offset = 0;
  bool half = false;
  size_t element_bytes() const { return half ? 2 : 4; }
  size_t data_start() const { return offset + guard_elements; }
  size_t total() const { return data_start() + count + guard_elements; }
  size_t bytes() const { return total() * element_bytes(); }
};

// The input of element i on process `rank` for the call salted `salt`, a
// whole number below `range`.
float input_value(int rank, size_t i, uint64_t salt, uint64_t range);

// The whole region into `region` (whose memory is reused): slack and guards
// hold values no result can have.
void make_region(const layout& l, int rank, uint64_t salt, uint64_t range, std::vector<unsigned char>& region);

// Adds this process's input of a call into `sum` (count elements), as the
// reference of a sum over processes and held-back calls.
void add_input(std::vector<double>& sum, int rank, uint64_t salt, uint64_t range);

// Makes one allreduce of the region's data, in place (through `device`,
// which has room for the region, where not null), synchronous or with
// qor_allreduce_async and qor_wait, and reads the region back.  `status` is
// the library's answer; false when the harness's own copies failed.
bool call_on_region(std::vector<unsigned char>& region, const layout& l, void* device, bool async, bool average,
                    int& status);

struct verdict {
  size_t wrong = 0;   // data elements unlike the reference
  size_t guards = 0;  // elements outside the data that changed
};

// Compares a region after the call with `want` (already summed over the
// processes; scaled by `scale` as the library scales an average) and the
// guards with what make_region wrote.
verdict check_region(const std::vector<unsigned char>& got, const layout& l, const std::vector<double>& want,
                     float scale, const std::vector<unsigned char>& before);

}  // namespace qor_sweep

#endif  // QOR_SWEEP_DATA_H
