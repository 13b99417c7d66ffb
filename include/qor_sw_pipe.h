// The pipelined software layer: the buffer cut into consecutive stages, one
// engine per stage, whose allreduce runs a wave front over stages and
// phases so that the NCCL work of dimension 0 for one stage overlaps the
// other dimensions' work for the others.  Dimension 0 runs NCCLB or NCCLR.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "qor.h"
#include "qor_hw.h"
#include "qor_stat.h"
#include "qor_sw.h"

namespace qor {
namespace network {

template <class T>
class qor_sw_pipe {
 public:
  // `stages` engines over consecutive pieces of buf, stage i with _pipe_id i.
  qor_sw_pipe(qor_hw& hw, T* buf, int count, int stages);
  ~qor_sw_pipe();
  qor_sw_pipe(const qor_sw_pipe&) = delete;
  qor_sw_pipe& operator=(const qor_sw_pipe&) = delete;

  // Selection on the last stage, copied to the others; raises message 6
  // when it fails.  Collective.
  QOR_Status select_algo();
  // Follows the caller's buffer; a new count cuts the stages anew.
  void update_buf(T* buf, int count);
  int stages() const { return static_cast<int>(_pipe.size()); }

  T* _buf_base;
  int _buf_size;
  std::vector<int> _pipe_off;  // stages + 1 offsets; the last is _buf_size
  std::vector<std::unique_ptr<qor_sw<T>>> _pipe;

 private:
  void set_offsets(int stages);
};

// One allreduce over the pipelined layer, numbered `iter`: the driver of
// the plain layer without a communication period or gradient files.
template <class T, OPR OP>
QOR_Status allreduce(qor_sw_pipe<T>* pipe, size_t iter, qor_stat* stat);

// The wave-front schedule; stat, when given, receives one row per step.
template <class T, OPR OP, bool DBG>
QOR_Status allreduce_core(qor_sw_pipe<T>* pipe, qor_stat* stat);

}  // namespace network
}  // namespace qor
