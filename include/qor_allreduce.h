// The allreduce driver: one call of the engine on one software layer, with
// gradient accumulation over several calls, jitter checks and CPU
// rebinding, statistics reports, monitor lines, gradient dumps and device
// synchronisation around it.
#pragma once

#include <cstddef>

#include "qor.h"
#include "qor_hw.h"
#include "qor_stat.h"
#include "qor_sw.h"

namespace qor {
namespace network {

// One allreduce call numbered `iter` (the first call is 1).  Every process
// must make the same calls with the same options: several branches run
// collectives.  stat receives the call's end-to-end time on every call.
// Returns 0, or the non-zero status of a dimension that could not run (the
// buffer is then not reduced); failures of the libraries raise QORException.
template <class T, OPR OP>
QOR_Status allreduce(qor_sw<T>* sw, size_t iter, qor_stat* stat);

// Reduce-scatter, a separator row when stat is given, then the allgather.
template <class T, OPR OP, bool DBG>
QOR_Status allreduce_core(qor_sw<T>* sw, qor_stat* stat);

// Moves one entry of the process's CPU list to another core when the jitter
// score says this process keeps arriving late, and binds the calling thread
// to the list.  sw is not used.
template <class T, bool DBG>
void rebind_core(qor_hw* hw, size_t iter, qor_sw<T>* sw);

}  // namespace network
}  // namespace qor
