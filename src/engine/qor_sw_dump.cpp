// Diagnostic output of the software layer: its partition and rings as debug
// trace lines, and the whole gradient buffer as a binary file.
#include <cstdio>
#include <iomanip>
#include <string>

#include "qor_check.h"
#include "qor_report_lines.h"
#include "qor_sw.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

}  // namespace

void qor_ring::dump(int rank) {
  for (size_t j = 0; j < _net_size.size(); ++j) {
    trace_line('D', report_line::ring_part, rank) << "_net_size[" << j << "]=" << _net_size[j];
  }
}

template <class T>
void qor_sw<T>::dump() {
  trace_line('D', report_line::dump_layer, _hw->_rank)
      << "sw=" << static_cast<const void*>(this)
      << " _buf_base=" << static_cast<const void*>(_buf_base) << " _buf_size=" << _buf_size;
  for (size_t d = 0; d < _rings.size() && _hw->_dbg_level >= 2; ++d) {
    const qor_dim& D = _hw->_dim[d];
    qor_ring& R = _rings[d];
    // Equal parts across hosts are the expected case and not worth a line.
    if (D._same_host || R._diff_net_size != 0) {
      trace_line('D', report_line::dump_dim, _hw->_rank)
          << "d" << std::setw(2) << D._index << " " << " diff_net_size=" << R._diff_net_size
          << " same_host=" << (D._same_host ? 1 : 0);
    }
    if (_hw->_rank == 0) R.dump(0);
  }
}

template <class T>
void qor_sw<T>::dump_grad(int iter, std::string name) {
  if (_hw->_dump_grad_path.empty()) return;
  const std::string file = _hw->_dump_grad_path + "." + std::to_string(iter) + "." + name + "." +
                           std::to_string(_hw->_rank);
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) {
    write_trace_line('W', report_line::dump_cannot_open, _hw->_rank, "cannot fopen " + file);
    return;
  }
  const size_t count = static_cast<size_t>(_buf_size);
  const size_t bytes = count * sizeof(T);
  const void* source = _buf_base;
  // In host-CPU mode the buffer already is host memory, and CUDA may not
  // even be usable.
  if (_hw->_device >= 0) {
    if (_hw->_host_buf) {
      // A buffer that could not be released stays with the hardware layer,
      // which tries again when it goes.
      if (cudaFreeHost(_hw->_host_buf) != cudaSuccess) {
        std::fclose(out);
        raise_cuda(__FILE__, report_line::dump_free_host);
      }
      _hw->_host_buf = nullptr;
    }
    // Allocated into a local first: after a failure the hardware layer must
    // not hold the buffer released above.
    void* pinned = nullptr;
    if (cudaMallocHost(&pinned, bytes) != cudaSuccess) {
      std::fclose(out);
      raise_cuda(__FILE__, report_line::dump_alloc_host);
    }
    _hw->_host_buf = pinned;
    if (cudaMemcpy(pinned, _buf_base, bytes, cudaMemcpyDeviceToHost) != cudaSuccess) {
      std::fclose(out);
      raise_cuda(__FILE__, report_line::dump_copy_host);
    }
    source = pinned;
  }
  // A short write (a full disk) must not pass for a complete dump.
  const bool written = count == 0 || std::fwrite(source, sizeof(T), count, out) == count;
  if (std::fclose(out) != 0 || !written) {
    write_trace_line('W', __LINE__, _hw->_rank, "cannot write " + file);
  }
}

// The class itself is instantiated with the rest of the layer.
template void qor_sw<float>::dump();
template void qor_sw<float>::dump_grad(int, std::string);
template void qor_sw<__half>::dump();
template void qor_sw<__half>::dump_grad(int, std::string);

}  // namespace network
}  // namespace qor
