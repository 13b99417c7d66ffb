// CPU rebinding of a straggling process: each rebinding moves one entry of
// the CPU list, from the last entry towards the first, by 8 inside its block
// of 80 CPUs, and binds the calling thread to the list.
#include <sched.h>

#include "qor_allreduce.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

constexpr int cpu_block = 80;
constexpr int cpu_step = 8;
constexpr int set_cpus = 1024;  // the applied set covers CPUs 0..1023

}  // namespace

template <class T, bool DBG>
void rebind_core(qor_hw* hw, size_t iter, qor_sw<T>*) {
  if (!(hw->_slow_score > 2.0)) return;
  if (hw->_cur_core < 0) hw->_cur_core = static_cast<int>(hw->_cpus.size()) - 1;
  cpu_set_t set;
  static_assert(sizeof set * 8 >= set_cpus, "the set holds 1024 CPUs");
  CPU_ZERO(&set);
  for (size_t i = 0; i < hw->_cpus.size(); ++i) {
    int c = hw->_cpus[i];
    if (static_cast<int>(i) == hw->_cur_core) {
      const int block_start = c / cpu_block * cpu_block;
      const int moved = c + cpu_step < block_start + cpu_block ? c + cpu_step : block_start;
      if (hw->_dbg_level > 0) {
        trace_line('D', __LINE__, hw->_rank) << "iter=" << iter << " rebinding from old_core " << c
                                             << " to old_core " << moved << " : "
                                             << hw->_slow_score;
      }
      c = moved;
    }
    if (c >= 0 && c < set_cpus) CPU_SET(c, &set);
    hw->_cpus[i] = c;
  }
  // A set the system refuses leaves the binding as it was; nothing to report.
  (void)sched_setaffinity(0, set_cpus / 8, &set);
  --hw->_cur_core;
  hw->_slow_score = 2.0;
}

template void rebind_core<float, false>(qor_hw*, size_t, qor_sw<float>*);
template void rebind_core<__half, false>(qor_hw*, size_t, qor_sw<__half>*);

}  // namespace network
}  // namespace qor
