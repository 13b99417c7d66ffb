// Legacy engine mode's allreduce: one cached software layer per element
// type, made at the first call and re-pointed at the caller's buffer at
// every call, with float buffers packed to half precision or compressed
// around the driver where the options ask for it.
#include <cuda_fp16.h>
#include <mpi.h>

#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "qor_allreduce.h"
#include "qor_check.h"
#include "qor_comp.h"
#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_pack.h"
#include "qor_state.h"
#include "qor_sw.h"
#include "qor_sw_pipe.h"
#include "qor_trace.h"

using qor::network::qor_hw;
using qor::network::QOR_MDR_SUM;
using qor::network::qor_sw;
using qor::network::qor_sw_pipe;

enum qor_sw_type { SW_FLOAT = 0, SW_HALF = 1, SW_PIPE_FLOAT = 2, SW_PIPE_HALF = 3 };

namespace {

// The engine counts elements in int.
bool refuse_count(size_t count) {
  if (count <= static_cast<size_t>(INT_MAX)) return false;
  QOR_TRACE_RANK('E', global_hw_h->_rank)
      << "qor_allreduce: " << count << " elements in one call; the engine takes at most "
      << INT_MAX;
  return true;
}

// An option compared with an element count: sign-extended, then unsigned,
// so that a negative value is never reached.
size_t as_count(int option) { return static_cast<size_t>(static_cast<long>(option)); }

// A packed pipelined layer keeps each stage's halves at the start of that
// stage's own float memory, where packing puts them.
void place_packed_stages(qor_sw_pipe<__half>& pipe, float* buf) {
  for (auto& stage : pipe._pipe) {
    stage->update_buf(reinterpret_cast<__half*>(buf), stage->_buf_size);
    buf += stage->_buf_size;
  }
}

void check_pack(int result) {
  if (result != 0) qor::raise_cuda(__FILE__, __LINE__, static_cast<cudaError_t>(result));
}

// Packs (or unpacks) the piece of n floats at buf on the main stream and
// waits: the engine's other streams would not wait for it, nor would the
// caller's work for the unpacked sum.
void convert(qor_hw& hw, bool pack, int n, void* buf) {
  cudaStream_t stream = hw._streams.at(0);
  float* floats = static_cast<float*>(buf);
  check_pack(pack ? qor_pack_fp32to16(n, floats, stream, 1.0f)
                  : qor_unpack_fp16to32(n, floats, stream, 1.0f));
  hw.wait_stream(hw._streams, 1);
}

// Runs the driver on packed pieces (each n halves at the start of its own n
// floats), unpacking them afterwards also when the driver fails: the caller
// gets its buffer back, rounded to half as packing promised, rather than
// packed halves that no float reading makes sense of.
template <class Run>
QOR_Status run_packed(qor_hw& hw, const std::vector<std::pair<int, void*>>& pieces, Run run) {
  const auto convert_all = [&](bool pack) {
    for (const auto& piece : pieces) convert(hw, pack, piece.first, piece.second);
  };
  convert_all(true);
  QOR_Status status = QOR_FAILURE;
  try {
    status = run();
  } catch (...) {
    convert_all(false);
    throw;
  }
  convert_all(false);
  return status;
}

template <class T>
void destroy_layer(qor_sw_h& sw_h) {
  if (sw_h.type == SW_FLOAT || sw_h.type == SW_HALF) delete static_cast<qor_sw<T>*>(sw_h.handle);
  if (sw_h.type == SW_PIPE_FLOAT || sw_h.type == SW_PIPE_HALF) {
    delete static_cast<qor_sw_pipe<T>*>(sw_h.handle);
  }
}

void forget(qor_sw_h& sw_h) {
  if (sw_h.handle != nullptr) qor_destroy_sw(sw_h);
  sw_h.handle = nullptr;
}

// A layer whose selection failed is not kept: the next call would run it
// with algorithms nobody chose.
template <class Create>
QOR_Status create_or_forget(qor_sw_h& sw_h, Create create) {
  QOR_Status status = QOR_FAILURE;
  try {
    status = create();
  } catch (...) {
    forget(sw_h);
    throw;
  }
  if (status != QOR_SUCCESS) {
    forget(sw_h);
    QOR_RAISE(qor::library_failure_status, qor_message::MSG_QOR, qor::host_name().c_str());
  }
  return status;
}

// The creation functions answer 1 without a hardware layer, after a text
// that log readers know.
bool hw_missing(const qor_hw* hw) {
  if (hw != nullptr) return false;
  std::fputs(" QOR_HW has not been initialized", stderr);
  return true;
}

template <class L>
QOR_Status make_layer(L* layer, int type, qor_sw_h& sw_h) {
  sw_h = {layer, type};
  return layer->select_algo();
}

}  // namespace

template <class T>
QOR_Status qor_create_sw_core(T* buf, size_t count, qor_hw* hw, qor_sw_h& sw_h, int& pipe) {
  if (count < as_count(hw->_pipe_thold)) pipe = 1;
  const int n = static_cast<int>(count);
  if (pipe > 1) return make_layer(new qor_sw_pipe<T>(*hw, buf, n, pipe), SW_PIPE_HALF, sw_h);
  return make_layer(new qor_sw<T>(*hw, buf, n, 0), SW_HALF, sw_h);
}

QOR_Status qor_create_sw_float(float* buf, size_t count, qor_hw* hw, qor_sw_h& sw_h) {
  if (hw_missing(hw)) return QOR_FAILURE;
  int pipe = hw->_pipe;
  if (hw->_pack > 0.0f) {
    __half* halves = reinterpret_cast<__half*>(buf);
    create_or_forget(sw_h, [&] { return qor_create_sw_core(halves, count, hw, sw_h, pipe); });
    if (sw_h.type == SW_PIPE_HALF) {
      place_packed_stages(*static_cast<qor_sw_pipe<__half>*>(sw_h.handle), buf);
    }
    return QOR_SUCCESS;
  }
  if (count < as_count(hw->_pipe_thold)) pipe = 1;
  const int n = static_cast<int>(count);
  return create_or_forget(sw_h, [&] {
    if (pipe > 1) return make_layer(new qor_sw_pipe<float>(*hw, buf, n, pipe), SW_PIPE_FLOAT, sw_h);
    return make_layer(new qor_sw<float>(*hw, buf, n, 0), SW_FLOAT, sw_h);
  });
}

QOR_Status qor_create_sw_half(__half* buf, size_t count, qor_hw* hw, qor_sw_h& sw_h) {
  if (hw_missing(hw)) return QOR_FAILURE;
  if (hw->_pack != 0.0f) {
    std::fputs(" QOR_SW cannot be compressed further\n", stderr);
    return QOR_FAILURE;
  }
  int pipe = hw->_pipe;
  return create_or_forget(sw_h, [&] { return qor_create_sw_core(buf, count, hw, sw_h, pipe); });
}

int qor_update(void* buf, size_t count, qor_sw_h sw_h) {
  const int n = static_cast<int>(count);
  switch (sw_h.type) {
    case SW_FLOAT:
      static_cast<qor_sw<float>*>(sw_h.handle)->update_buf(static_cast<float*>(buf), n);
      break;
    case SW_HALF:
      static_cast<qor_sw<__half>*>(sw_h.handle)->update_buf(static_cast<__half*>(buf), n);
      break;
    case SW_PIPE_FLOAT:
      static_cast<qor_sw_pipe<float>*>(sw_h.handle)->update_buf(static_cast<float*>(buf), n);
      break;
    case SW_PIPE_HALF:
      static_cast<qor_sw_pipe<__half>*>(sw_h.handle)->update_buf(static_cast<__half*>(buf), n);
      break;
    default:
      break;
  }
  return 0;
}

void qor_destroy_sw(qor_sw_h sw_h) {
  if (sw_h.type == SW_FLOAT || sw_h.type == SW_PIPE_FLOAT) destroy_layer<float>(sw_h);
  if (sw_h.type == SW_HALF || sw_h.type == SW_PIPE_HALF) destroy_layer<__half>(sw_h);
}

QOR_Status qor_create_hw(std::map<std::string, std::string>& options, qor_hw*& hw) {
  hw = new qor_hw(MPI_COMM_WORLD, options);
  return QOR_SUCCESS;
}

QOR_Status qor_allreduce_float(void* buf, size_t count, QOR_Op op) {
  if (refuse_count(count)) return QOR_FAILURE;
  qor_hw& hw = *global_hw_h;
  hw.check_device();
  if (global_sw_float_h.handle == nullptr) {
    const QOR_Status status =
        qor_create_sw_float(static_cast<float*>(buf), count, global_hw_h, global_sw_float_h);
    if (status != QOR_SUCCESS) return status;
  }
  qor_sw_h& sw_h = global_sw_float_h;
  float* data = static_cast<float*>(buf);
  size_t n = count;
  const int verbosity = hw._rank == 0 ? hw._dbg_level : 0;
  const bool compressed = hw._device >= 0 && count > as_count(hw._comp_min_size) &&
                          sw_h.type >= SW_FLOAT && sw_h.type <= SW_PIPE_HALF;
  // Compression and packing read the caller's buffer before the driver
  // runs, packing on the engine's own stream, which waits for nothing of the
  // caller's: the synchronisation dev_sync asks for comes first.
  const bool packed = sw_h.type == SW_HALF || sw_h.type == SW_PIPE_HALF;
  if ((compressed || packed) && hw.sync_before_call()) hw.synchronize_device();
  if (compressed) {
    const int kept = qor_compress_fp32(static_cast<int>(count), data, &data, verbosity);
    if (kept < 0) QOR_REFUSE(hw._rank, "qor_compress_fp32 returned " + std::to_string(kept));
    n = static_cast<size_t>(kept);
  }
  qor_update(data, n, sw_h);
  if (sw_h.type == SW_PIPE_HALF)
    place_packed_stages(*static_cast<qor_sw_pipe<__half>*>(sw_h.handle), data);
  const size_t iter = static_cast<size_t>(++qor_iter);

  QOR_Status status = QOR_FAILURE;
  if (sw_h.type == SW_FLOAT) {
    auto* sw = static_cast<qor_sw<float>*>(sw_h.handle);
    // Without a device the driver's sum is the host's.
    status = qor::network::allreduce<float, QOR_MDR_SUM>(sw, iter, global_stat_h);
  } else if (sw_h.type == SW_HALF) {
    auto* sw = static_cast<qor_sw<__half>*>(sw_h.handle);
    status = run_packed(hw, {{sw->_buf_size, sw->_buf_base}},
                        [&] { return qor::network::allreduce<__half, QOR_MDR_SUM>(sw, iter, global_stat_h); });
  } else if (sw_h.type == SW_PIPE_FLOAT) {
    auto* pipe = static_cast<qor_sw_pipe<float>*>(sw_h.handle);
    status = qor::network::allreduce<float, QOR_MDR_SUM>(pipe, iter, global_stat_h);
  } else if (sw_h.type == SW_PIPE_HALF) {
    auto* pipe = static_cast<qor_sw_pipe<__half>*>(sw_h.handle);
    std::vector<std::pair<int, void*>> pieces;
    for (auto& stage : pipe->_pipe) pieces.emplace_back(stage->_buf_size, stage->_buf_base);
    status = run_packed(hw, pieces,
                        [&] { return qor::network::allreduce<__half, QOR_MDR_SUM>(pipe, iter, global_stat_h); });
  }
  if (compressed) qor_decompress_fp32(data, static_cast<float*>(buf), verbosity, hw._rank);
  // An unreduced buffer is left as it was: divided, it would be lost.
  if (status == QOR_SUCCESS && op == QOR_AVG) qor_average_buffer(buf, count, QOR_FLOAT);
  return status;
}

QOR_Status qor_allreduce_half(void* buf, size_t count, QOR_Op op) {
  if (refuse_count(count)) return QOR_FAILURE;
  qor_hw& hw = *global_hw_h;
  hw.check_device();
  // The host has no half-precision sum: refused before a layer is made or
  // tuned and before any message moves, whatever the process count.
  if (hw._device < 0) {
    QOR_TRACE_RANK('E', hw._rank) << "qor_allreduce: host-CPU mode has no half-precision sum";
    QOR_RAISE(qor_message::MSG_HALF_MPI, qor_message::MSG_HALF_MPI, hw._rank);
  }
  if (global_sw_half_h.handle == nullptr) {
    const QOR_Status status =
        qor_create_sw_half(static_cast<__half*>(buf), count, global_hw_h, global_sw_half_h);
    if (status != QOR_SUCCESS) return status;
  }
  qor_update(buf, count, global_sw_half_h);
  const size_t iter = static_cast<size_t>(++qor_iter);
  QOR_Status status = QOR_FAILURE;
  if (global_sw_half_h.type == SW_HALF) {
    auto* sw = static_cast<qor_sw<__half>*>(global_sw_half_h.handle);
    status = qor::network::allreduce<__half, QOR_MDR_SUM>(sw, iter, global_stat_h);
  } else if (global_sw_half_h.type == SW_PIPE_HALF) {
    auto* pipe = static_cast<qor_sw_pipe<__half>*>(global_sw_half_h.handle);
    status = qor::network::allreduce<__half, QOR_MDR_SUM>(pipe, iter, global_stat_h);
  }
  if (status != QOR_SUCCESS) return status;
  if (op == QOR_AVG) qor_average_buffer(buf, count, QOR_HALF);
  return QOR_SUCCESS;
}
