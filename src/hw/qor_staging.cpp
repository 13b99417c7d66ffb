// Device buffers and an MPI that cannot read them.  An MPI built without
// CUDA support (Debian's Open MPI, for one) crashes when handed a device
// pointer; the engine then stages its GPU-mode traffic through pinned host
// buffers that the hardware layer keeps.
#include <mpi.h>
// Open MPI's extensions, where they exist, after mpi.h which they need.
#if __has_include(<mpi-ext.h>)
#include <mpi-ext.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>

#include "qor_check.h"
#include "qor_hw.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

// QOR_MPI_CUDA_AWARE=1 or 0 forces the choice either way, for MPIs that
// cannot be asked or answer wrongly.
const char* forced_cuda_awareness() {
  const char* text = std::getenv("QOR_MPI_CUDA_AWARE");
  if (text && (std::strcmp(text, "0") == 0 || std::strcmp(text, "1") == 0)) return text;
  return nullptr;
}

}  // namespace

void qor_hw::detect_mpi_cuda_awareness() {
  if (const char* forced = forced_cuda_awareness()) {
    _mpi_cuda_aware = forced[0] == '1';
    _mpi_cuda_awareness_source = std::string("QOR_MPI_CUDA_AWARE=") + forced;
    return;
  }
#if defined(MPIX_CUDA_AWARE_SUPPORT)
  _mpi_cuda_aware = MPIX_Query_cuda_support() == 1;
  _mpi_cuda_awareness_source = "MPIX_Query_cuda_support";
#else
  _mpi_cuda_aware = false;
  _mpi_cuda_awareness_source = "this MPI cannot be asked";
#endif
}

void qor_hw::write_cuda_awareness() {
  if (_mpi_cuda_aware) {
    QOR_TRACE_RANK('I', _rank) << "MPI is CUDA-aware (" << _mpi_cuda_awareness_source
                               << "): device buffers go to MPI as they are";
  } else {
    QOR_TRACE_RANK('W', _rank) << "MPI is not CUDA-aware (" << _mpi_cuda_awareness_source
                               << "): device buffers are staged through pinned host memory";
  }
}

bool qor_hw::stages_mpi(const void* buf) {
  if (!stages_mpi()) return false;
  cudaPointerAttributes attributes{};
  QOR_CHECK_CUDA(cudaPointerGetAttributes(&attributes, buf));
  return attributes.type == cudaMemoryTypeDevice;
}

void* qor_hw::staging_buffer(int which, size_t bytes) {
  staging& s = _staging[which];
  if (s.bytes >= bytes) return s.memory;
  // Forgotten before the allocation, so that a failure leaves none rather
  // than a freed one.
  void* old = s.memory;
  s.memory = nullptr;
  s.bytes = 0;
  if (old) QOR_CHECK_CUDA(cudaFreeHost(old));
  QOR_CHECK_CUDA(cudaMallocHost(&s.memory, bytes));
  s.bytes = bytes;
  return s.memory;
}

void qor_hw::release_staging() {
  for (staging& s : _staging) {
    if (s.memory) cudaFreeHost(s.memory);
    s = staging{};
  }
}

}  // namespace network
}  // namespace qor
