// Helpers of the traversal, reduction and wait suites: hardware layers made
// from option text, buffers in the memory the engine works on (device memory
// in GPU mode, host memory in host-CPU mode), the passes of one dimension as
// the engine's per-dimension driver runs them, and trace line parsing.
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <mpi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qor_hw.h"
#include "qor_stat.h"
#include "qor_sw.h"
#include "qor_test_support.h"

namespace traversal_test {

using qor::network::OPR;
using qor::network::QOR_MDR_BOR;
using qor::network::QOR_MDR_HOST_SUM;
using qor::network::QOR_MDR_NONE;
using qor::network::QOR_MDR_SUM;
using qor::network::qor_hw;
using qor::network::qor_stat;
using qor::network::qor_sw;

using qor_test::world_rank;
using qor_test::world_size;

// A hardware layer over MPI_COMM_WORLD from option text; what it writes while
// it is built goes to `log` when given (else it is dropped).
std::unique_ptr<qor_hw> make_hw(const std::string& text, std::string* log = nullptr);

// Mode texts with the letter r for every grid that `size` processes can
// form, one dimension first (for example r, r:2x4, r:4x2, r:2x2x2, r:1x8).
std::vector<std::string> topologies(int size);

// True when buffers of GPU mode can be handed to MPI by several processes:
// always in the emulated flavour, else only with a CUDA-aware MPI.
bool mpi_takes_device_memory(std::string* why);

// Elements in the engine's memory: allocated through the hardware layer and
// copied with the runtime in GPU mode, plain host memory in host-CPU mode.
template <class T>
class engine_buffer {
 public:
  engine_buffer(qor_hw& hw, size_t n) : _hw(hw), _n(n) {
    _hw.malloc(reinterpret_cast<void**>(&_ptr), std::max<size_t>(n, 1) * sizeof(T));
  }
  ~engine_buffer() { _hw.free(_ptr); }
  engine_buffer(const engine_buffer&) = delete;
  engine_buffer& operator=(const engine_buffer&) = delete;

  T* get() const { return _ptr; }
  size_t size() const { return _n; }
  void write(const std::vector<T>& host) {
    copy(_ptr, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice);
  }
  std::vector<T> read() const {
    std::vector<T> host(_n);
    copy(host.data(), _ptr, _n * sizeof(T), cudaMemcpyDeviceToHost);
    return host;
  }

 private:
  void copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) const {
    if (bytes == 0) return;
    if (_hw._device < 0) {
      std::memcpy(dst, src, bytes);
    } else if (cudaMemcpy(dst, src, bytes, kind) != cudaSuccess) {
      throw std::runtime_error("cudaMemcpy failed");
    }
  }

  qor_hw& _hw;
  size_t _n;
  T* _ptr = nullptr;
};

// World ranks of the members of dimension d, by their rank in it.
std::vector<int> dimension_members(qor_hw& hw, int d);

// Stream of the reductions: the main stream in GPU mode, none on the host.
inline cudaStream_t reduce_stream(qor_hw& hw) {
  return hw._device >= 0 && !hw._streams.empty() ? hw._streams[0] : nullptr;
}

// The passes of one dimension, with the arguments the engine's driver takes
// from the dimension, its ring and its schedule.
template <class T, OPR OP, bool DBG>
void ring_reduce_scatter(qor_sw<T>& sw, int d, int tag, qor_stat* stat) {
  auto& D = sw._hw->_dim[static_cast<size_t>(d)];
  auto& R = sw._rings[static_cast<size_t>(d)];
  const int largest = *std::max_element(R._net_size.begin(), R._net_size.end());
  T* tmp = sw.get_temp_buf(static_cast<size_t>(largest));
  sw.template ring_traversal<OP, DBG>(reduce_stream(*sw._hw), d, D._rank, D._size, D._comm,
                                      R._next, R._prev, R._prev, tag, sw._buf_base + R._net_off,
                                      R._net_disp.data(), R._net_size.data(), tmp, stat);
}

template <class T, bool DBG>
void ring_allgather(qor_sw<T>& sw, int d, int tag, qor_stat* stat) {
  auto& D = sw._hw->_dim[static_cast<size_t>(d)];
  auto& R = sw._rings[static_cast<size_t>(d)];
  sw.template ring_traversal<QOR_MDR_NONE, DBG>(nullptr, d, D._rank, D._size, D._comm, R._next,
                                                R._prev, D._rank, tag, sw._buf_base + R._net_off,
                                                R._net_disp.data(), R._net_size.data(), nullptr,
                                                stat);
}

template <class T, OPR OP, bool DBG>
void rcs_reduce_scatter(qor_sw<T>& sw, int d, int tag, qor_stat* stat) {
  auto& D = sw._hw->_dim[static_cast<size_t>(d)];
  auto& R = sw._rings[static_cast<size_t>(d)];
  auto& S = sw._rcs[static_cast<size_t>(d)];
  const int s = static_cast<int>(S._my_size.size());
  T* tmp = s > 0 ? sw.get_temp_buf(static_cast<size_t>(S._my_size.back())) : nullptr;
  sw.template recur_traversal<OP, DBG>(reduce_stream(*sw._hw), d, D._rank, s, D._comm,
                                       S._partner_rank.data(), tag, sw._buf_base + R._net_off,
                                       S._partner_off.data(), S._partner_size.data(),
                                       S._my_off.data(), S._my_size.data(), tmp, stat);
}

template <class T, bool DBG>
void rcs_allgather(qor_sw<T>& sw, int d, int tag, qor_stat* stat) {
  auto& D = sw._hw->_dim[static_cast<size_t>(d)];
  auto& R = sw._rings[static_cast<size_t>(d)];
  auto& S = sw._rcs[static_cast<size_t>(d)];
  const int s = static_cast<int>(S._my_size.size());
  sw.template recur_traversal<QOR_MDR_NONE, DBG>(nullptr, d, D._rank, s, D._comm,
                                                 S._partner_rank.data(), tag,
                                                 sw._buf_base + R._net_off, S._my_off.data(),
                                                 S._my_size.data(), S._partner_off.data(),
                                                 S._partner_size.data(), nullptr, stat);
}

using qor_test::message_line;
using qor_test::trace;
using qor_test::traces;

// Whether `text` is literals[0], a number, literals[1], a number, ...,
// literals[last], each number in scientific notation with three digits
// (1.234e-05); the numbers go to `numbers`.
bool scientific_fields(const std::string& text, const std::vector<std::string>& literals,
                       std::vector<double>* numbers);

}  // namespace traversal_test
