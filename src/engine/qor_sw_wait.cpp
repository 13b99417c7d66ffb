// Guards against slow or stuck peers: a polling wait that reports when a
// request takes too long, and the barrier timing that finds stragglers.
#include <mpi.h>
#include <unistd.h>

#include <cmath>

#include "qor_check.h"
#include "qor_clock.h"
#include "qor_report_lines.h"
#include "qor_sw.h"
#include "qor_trace.h"

namespace qor {
namespace network {

template <class T>
void qor_sw<T>::MPI_Wait_Timeout(int rank, MPI_Request* request) {
  static int time_out = 100000;  // polls before the time-out is reported
  for (int polls = 0; polls < time_out; ++polls) {
    // Sleeping first lets a waiting process yield its core to the peer.
    usleep(1);
    int flag = 0;
    int code = MPI_Test(request, &flag, MPI_STATUS_IGNORE);
    if (code != MPI_SUCCESS) raise_mpi(__FILE__, report_line::bounded_wait_mpi, code);
    if (flag) return;
  }
  write_trace_line('F', report_line::bounded_wait_timeout, rank, "TIMEOUT");
  // The time-out is only reported: the caller reads the received block or
  // reuses the scratch area next, so the request must be complete before
  // returning, or a late message would land in memory already in use.
  int code = MPI_Wait(request, MPI_STATUS_IGNORE);
  if (code != MPI_SUCCESS) raise_mpi(__FILE__, report_line::bounded_wait_mpi, code);
}

template <class T>
template <bool DBG>
bool qor_sw<T>::measure_jitter(qor_stat* stat) {
  qor_hw& hw = *_hw;
  const double t0 = monotonic_seconds();
  int code = MPI_Barrier(hw._comm);
  if (code != MPI_SUCCESS) raise_mpi(__FILE__, __LINE__, code);
  const double t = monotonic_seconds() - t0;
  if (stat) stat->_jitter = t;

  double max_t = 0.0;
  double min_t = 0.0;
  code = MPI_Allreduce(&t, &max_t, 1, MPI_DOUBLE, MPI_MAX, hw._comm);
  if (code != MPI_SUCCESS) raise_mpi(__FILE__, __LINE__, code);
  code = MPI_Allreduce(&t, &min_t, 1, MPI_DOUBLE, MPI_MIN, hw._comm);
  if (code != MPI_SUCCESS) raise_mpi(__FILE__, __LINE__, code);

  const bool slow = max_t > hw._jitter_thold;
  hw._too_slow = slow ? 1 : 0;
  // The last process to reach the barrier is the one that waited least.
  const double d = std::fabs(min_t - t);
  const bool straggler = slow && d < 0.0001;

  if (straggler && hw._dbg_level >= 1) {
    trace_line('W', __LINE__, hw._rank)
        << "MPI_Barrier took " << t << " !!!TOO SLOW!!! max_jitter=" << max_t;
  }
  if (DBG && !straggler && hw._dbg_level >= 3) {
    trace_line('I', __LINE__, hw._rank) << "MPI_Barrier took " << t;
  }
  if (hw._dbg_level >= 1 && d < 1e-6) {
    trace_line('I', __LINE__, hw._rank)
        << "max_jitter=" << max_t << " min_jitter=" << min_t << " : " << hw._slow_score;
  }

  if (max_t > 0.01 * hw._jitter_thold && (straggler || d < 1e-6)) {
    hw._slow_score += 1.0;
  } else {
    hw._slow_score -= 0.5;
    if (hw._slow_score < 0.0) hw._slow_score = 0.0;
  }
  return straggler;
}

template void qor_sw<float>::MPI_Wait_Timeout(int, MPI_Request*);
template void qor_sw<__half>::MPI_Wait_Timeout(int, MPI_Request*);
template bool qor_sw<float>::measure_jitter<false>(qor_stat*);
template bool qor_sw<float>::measure_jitter<true>(qor_stat*);
template bool qor_sw<__half>::measure_jitter<false>(qor_stat*);
template bool qor_sw<__half>::measure_jitter<true>(qor_stat*);

}  // namespace network
}  // namespace qor
