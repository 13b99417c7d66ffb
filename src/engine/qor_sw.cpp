// Software layer: construction, buffer binding, partitioning into leaves and
// per-dimension rings, and the scratch and residue buffers.
#include "qor_sw.h"

#include <cassert>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>

#include "qor_check.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_report_lines.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

bool engine_trace_on(const qor_hw& hw) { return trace_on(hw._rank, hw._dbg_level, 2); }

}  // namespace

const float QOR_ONE = 1.0f;

template <class T>
MPI_Datatype mpi_type() {
  static_assert(std::is_same<T, float>::value || std::is_same<T, __half>::value,
                "the engine carries float or __half only");
  // __half travels as its 16-bit pattern; MPI never does arithmetic on it.
  return std::is_same<T, float>::value ? MPI_FLOAT : MPI_SHORT;
}

template MPI_Datatype mpi_type<float>();
template MPI_Datatype mpi_type<__half>();

void qor_ring::init(int rank, int size) {
  _next = rank + 1 == size ? 0 : rank + 1;
  _prev = rank == 0 ? size - 1 : rank - 1;
  // An empty partition until the buffer is cut: a layer over 0 elements
  // never repartitions, and its segment must not point before the buffer.
  _net_off = 0;
  _diff_net_size = 0;
  _net_size.assign(static_cast<size_t>(size), 0);
  _net_disp.assign(static_cast<size_t>(size) + 1, 0);
}

template <class T>
qor_sw<T>::qor_sw(qor_hw& hw, T* buf, int size, int pipe_id)
    : _hw(&hw),
      _residue(nullptr),
      _buf_base(nullptr),
      _buf_size(0),
      _temp_buf(nullptr),
      _temp_buf_size(0),
      _pipe_id(pipe_id) {
  if (engine_trace_on(*_hw)) {
    trace_line('D', report_line::layer_created, _hw->_rank)
        << "qor_sw" << " created " << static_cast<const void*>(this)
        << " _buf_base=" << static_cast<const void*>(_buf_base) << " _buf_size=" << _buf_size
        << " _hw->_desc=" << _hw->_desc;
  }
  _part_off.assign(static_cast<size_t>(_hw->_size) + 1, 0);
  _rings.resize(_hw->_dim.size());
  for (size_t d = 0; d < _rings.size(); ++d) _rings[d].init(_hw->_dim[d]._rank, _hw->_dim[d]._size);
  // Until algorithms are selected every dimension runs the ring, which
  // needs nothing but MPI.
  _best_rs_algo.assign(_rings.size(), ALG_RING);
  _best_ag_algo.assign(_rings.size(), ALG_RING);
  // Nothing is owned yet, so a refused size leaves nothing behind.
  update_buf(buf, size);
}

template <class T>
qor_sw<T>::~qor_sw() {
  try {
    if (_temp_buf) _hw->free(_temp_buf);
    if (_residue) _hw->free(_residue);
  } catch (const std::exception& e) {
    exit_with_error(__LINE__, std::string("qor_sw cannot release its buffers: ") + e.what());
  } catch (...) {
    exit_with_error(__LINE__, "qor_sw cannot release its buffers");
  }
  _temp_buf = nullptr;
  _residue = nullptr;
}

template <class T>
void qor_sw<T>::update_buf(T* buf, int size) {
  if (size < 0) {
    // A negative count would give decreasing offsets and parts that run
    // outside the buffer.
    QOR_REFUSE(_hw->_rank, "invalid buffer size " + std::to_string(size));
  }
  _buf_base = buf;
  if (size == _buf_size) return;
  // The residue is folded into the whole buffer: keep it as long as the
  // buffer.  Done first so that a failed allocation leaves the old partition.
  if (_residue) resize_residue(size);
  _buf_size = size;
  _part_off[static_cast<size_t>(_hw->_size)] = size;
  partition_buf(0, 0, _hw->_size, size);
  enable_ring();
  if (!_rcs.empty()) enable_rcs();
}

template <class T>
void qor_sw<T>::partition_buf(int d, int part_offset, int cur_part_size, int buf_size) {
  const qor_dim& D = _hw->_dim[static_cast<size_t>(d)];
  const int buf_offset = _part_off[static_cast<size_t>(part_offset)];
  const int sub = cur_part_size / D._size;
  const int avg = qor_hw::get_avg_buf_size(buf_size, D._size);
  for (int j = 1; j < D._size; ++j) {
    _part_off[static_cast<size_t>(part_offset + j * sub)] = buf_offset + j * avg;
  }
  // The closing offset comes from the caller or the enclosing level; the
  // last part takes the remainder, never less than avg.
  assert(_part_off[static_cast<size_t>(part_offset + cur_part_size)] == buf_size + buf_offset);
  if (d + 1 == static_cast<int>(_hw->_dim.size())) return;
  for (int j = 0; j < D._size; ++j) {
    const int first = part_offset + j * sub;
    partition_buf(d + 1, first, sub,
                  _part_off[static_cast<size_t>(first + sub)] - _part_off[static_cast<size_t>(first)]);
  }
}

template <class T>
void qor_sw<T>::enable_ring() {
  int part_offset = 0;
  int cur = _hw->_size;
  for (size_t d = 0; d < _rings.size(); ++d) {
    const qor_dim& D = _hw->_dim[d];
    qor_ring& R = _rings[d];
    cur /= D._size;
    for (int j = 0; j < D._size; ++j) {
      const size_t k = static_cast<size_t>(j);
      R._net_size[k] = _part_off[static_cast<size_t>(part_offset + (j + 1) * cur)] -
                       _part_off[static_cast<size_t>(part_offset + j * cur)];
      R._net_disp[k + 1] = R._net_disp[k] + R._net_size[k];
    }
    R._diff_net_size = R._net_size.back() - R._net_size.front();
    R._net_off = _part_off[static_cast<size_t>(part_offset)];
    // The next dimension works inside the part this process keeps.
    part_offset += cur * D._rank;

    if (_hw->_dbg_level > 1) {
      int longest = 0;
      int failed_line = 0;
      for (int j = 0; j + 1 < D._size; ++j) {
        const int n = R._net_size[static_cast<size_t>(j)];
        if (n != R._net_size.front() && failed_line == 0) failed_line = report_line::unequal_parts;
        if (n > longest) longest = n;
      }
      if (failed_line == 0 && R._net_size.back() < longest) failed_line = report_line::short_last_part;
      if (failed_line != 0) {
        R.dump(_hw->_rank);
        qor::raise(__FILE__, failed_line, qor_message::MSG_PARTITION, qor_message::MSG_PARTITION,
              _hw->_rank);
      }
    }
    // After the check, which reports a short last part with its message.
    assert(R._diff_net_size >= 0);
  }
}

template <class T>
size_t qor_sw<T>::byte_count(size_t elements) {
  if (elements > SIZE_MAX / sizeof(T)) {
    QOR_REFUSE(_hw->_rank, "cannot allocate " + std::to_string(elements) +
                               " elements: the byte count does not fit");
  }
  return elements * sizeof(T);
}

template <class T>
T* qor_sw<T>::allocate(size_t elements, bool zero) {
  const size_t bytes = byte_count(elements);
  void* memory = nullptr;
  try {
    if (zero) {
      _hw->malloc_init(&memory, bytes, 0);
    } else {
      _hw->malloc(&memory, bytes);
    }
  } catch (...) {
    // A fill that fails after the allocation leaves the memory with us.
    if (memory) _hw->free(memory);
    throw;
  }
  // Device allocations are checked by the hardware layer; host ones are not.
  if (memory == nullptr && bytes > 0) {
    QOR_REFUSE(_hw->_rank, "cannot allocate " + std::to_string(bytes) + " bytes");
  }
  return static_cast<T*>(memory);
}

template <class T>
T* qor_sw<T>::get_temp_buf(size_t n) {
  if (_temp_buf_size >= n) return _temp_buf;
  const double grown = static_cast<double>(n) * 1.1;
  // Beyond this the conversion back to size_t, or the byte count, would
  // overflow; such a request is refused before the old buffer is touched.
  const double limit = static_cast<double>(SIZE_MAX / sizeof(T));
  const size_t capacity = grown < limit ? static_cast<size_t>(grown) : SIZE_MAX;
  byte_count(capacity);
  if (engine_trace_on(*_hw)) {
    trace_line('D', report_line::temp_buf, _hw->_rank)
        << "allocating _temp_buf_size=" << capacity << " on device=" << _hw->_device;
  }
  // Forget the old buffer before allocating, so that a failure leaves an
  // empty scratch buffer rather than a freed one.
  if (_temp_buf) {
    T* old = _temp_buf;
    _temp_buf = nullptr;
    _temp_buf_size = 0;
    _hw->free(old);
  }
  _temp_buf = allocate(capacity, false);
  _temp_buf_size = capacity;
  return _temp_buf;
}

template <class T>
T* qor_sw<T>::get_residue() {
  if (_residue == nullptr) {
    if (engine_trace_on(*_hw)) {
      trace_line('D', report_line::residue, _hw->_rank)
          << "allocating _residue=" << _buf_size << " on device=" << _hw->_device;
    }
    _residue = allocate(static_cast<size_t>(_buf_size), true);
  }
  return _residue;
}

template <class T>
void qor_sw<T>::resize_residue(int size) {
  if (engine_trace_on(*_hw)) {
    trace_line('D', report_line::residue, _hw->_rank)
        << "allocating _residue=" << size << " on device=" << _hw->_device;
  }
  T* fresh = allocate(static_cast<size_t>(size), true);
  // What was accumulated for the common prefix carries over; the rest is 0.
  const size_t kept = static_cast<size_t>(size < _buf_size ? size : _buf_size) * sizeof(T);
  if (kept > 0) {
    if (_hw->_device >= 0) {
      // On the engine's stream, which its later work is ordered after.
      try {
        _hw->copy_and_wait(fresh, _residue, kept, cudaMemcpyDeviceToDevice, _hw->_streams[0]);
      } catch (...) {
        _hw->free(fresh);
        throw;
      }
    } else {
      std::memcpy(fresh, _residue, kept);
    }
  }
  _hw->free(_residue);
  _residue = fresh;
}

template <class T>
void qor_sw<T>::raise_half_unsupported(const char* file, int line) {
  raise(file, line, qor_message::MSG_HALF_MPI, qor_message::MSG_HALF_MPI, _hw->_rank);
}

template class qor_sw<float>;
template class qor_sw<__half>;

}  // namespace network
}  // namespace qor
