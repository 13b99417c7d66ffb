// Process queries, broadcast, device memory helpers and the key-value query.
#include <mpi.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "qor.h"
#include "qor_check.h"
#include "qor_hw.h"
#include "qor_stat.h"
#include "qor_state.h"
#include "qor_trace.h"
#include "qor_utilities.h"
#include "qor_watchdog.h"

namespace {

// Rank and size of this process on its host (Open MPI's host split).
int host_communicator_query(int (*query)(MPI_Comm, int*)) {
  initialize_mpi();
  MPI_Comm host_comm = MPI_COMM_NULL;
  QOR_CHECK_MPI(MPI_Comm_split_type(MPI_COMM_WORLD, qor::network::host_split_type, 0,
                                    MPI_INFO_NULL, &host_comm));
  int value = 0;
  int code = query(host_comm, &value);
  MPI_Comm_free(&host_comm);
  QOR_CHECK_MPI(code);
  return value;
}

// The MPI-less mode: an NCCL context while MPI is not running.  Whoever
// started MPI (the library, or the application before qor_init), the MPI +
// NCCL mode has one.
bool nccl_without_mpi() { return global_nccl_context && !qor::mpi_running(); }

// Host-CPU mode of the legacy engine: the "device" buffers are host memory,
// handed out and copied without the CUDA runtime, so no driver is needed.
bool host_only() {
  return !global_nccl_context && global_hw_h != nullptr && global_hw_h->_device < 0;
}

// One copy of `bytes`, synchronous: plain memory in host-CPU mode.
void copy_now(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  if (host_only()) {
    if (bytes > 0) std::memmove(dst, src, bytes);
    return;
  }
  QOR_CHECK_CUDA(cudaMemcpy(dst, src, bytes, kind));
}

// Runs `body`, turning exceptions into status 1.
template <class F>
QOR_Status guarded(F body) {
  try {
    return body();
  } catch (...) {
    return exception_handle();
  }
}

}  // namespace

extern "C" QOR_Status qor_rank(int* rank) {
  return guarded([&] {
    if (global_nccl_context) {
      *rank = global_nccl_context->rank;
    } else {
      initialize_mpi();
      QOR_CHECK_MPI(MPI_Comm_rank(MPI_COMM_WORLD, rank));
    }
    return QOR_SUCCESS;
  });
}

extern "C" QOR_Status qor_size(int* size) {
  return guarded([&] {
    if (global_nccl_context) {
      *size = global_nccl_context->nranks;
    } else {
      initialize_mpi();
      QOR_CHECK_MPI(MPI_Comm_size(MPI_COMM_WORLD, size));
    }
    return QOR_SUCCESS;
  });
}

extern "C" QOR_Status qor_local_rank(int* local_rank) {
  return guarded([&] {
    *local_rank = global_nccl_context ? global_nccl_context->local_rank
                                      : host_communicator_query(MPI_Comm_rank);
    return QOR_SUCCESS;
  });
}

extern "C" QOR_Status qor_local_size(int* local_size) {
  return guarded([&] {
    *local_size = nccl_without_mpi() ? 1 : host_communicator_query(MPI_Comm_size);
    return QOR_SUCCESS;
  });
}

extern "C" QOR_Status qor_bcast(void* buf, int count, QOR_Type type, int root) {
  return guarded([&] {
    if (type != QOR_FLOAT && type != QOR_HALF && type != QOR_BYTE) return QOR_FAILURE;
    if (count < 0) {
      QOR_TRACE('W') << "qor_bcast: negative count " << count;
      return QOR_FAILURE;
    }
    const qor::watchdog::watched_call watched("qor_bcast", static_cast<size_t>(count), type);
    if (global_nccl_context) {
      // Device buffers: through NCCL, never through an MPI that may not
      // read device memory.
      qor_nccl_context& context = *global_nccl_context;
      QOR_CHECK_NCCL(ncclBroadcast(buf, buf, count, get_nccl_datatype(type), root, context.comm,
                                   context.stream));
      QOR_CHECK_CUDA(cudaStreamSynchronize(context.stream));
      return QOR_SUCCESS;
    }
    initialize_mpi();
    const MPI_Datatype datatype = type == QOR_FLOAT  ? MPI_FLOAT
                                  : type == QOR_HALF ? MPI_SHORT
                                                     : MPI_BYTE;
    qor::network::qor_hw* hw = global_hw_h;
    if (!hw || !hw->stages_mpi(buf)) {
      QOR_CHECK_MPI(MPI_Bcast(buf, count, datatype, root, MPI_COMM_WORLD));
      return QOR_SUCCESS;
    }
    // A device buffer and an MPI that cannot read it: through the staging
    // buffer.
    int element = 0;
    QOR_CHECK_MPI(MPI_Type_size(datatype, &element));
    const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(element);
    void* host = hw->staging_buffer(0, bytes);
    hw->copy_and_wait(host, buf, bytes, cudaMemcpyDeviceToHost, hw->_streams[0]);
    QOR_CHECK_MPI(MPI_Bcast(host, count, datatype, root, MPI_COMM_WORLD));
    hw->copy_and_wait(buf, host, bytes, cudaMemcpyHostToDevice, hw->_streams[0]);
    return QOR_SUCCESS;
  });
}

extern "C" size_t qor_malloc(void** ptr, size_t align, size_t size) {
  try {
    if (align == 0) {
      QOR_TRACE('W') << "qor_malloc: the alignment must be at least 1";
      return QOR_FAILURE;
    }
    size_t bytes = (size + align - 1) / align * align;
    if (host_only()) {
      // From the shared pool, where the SHM algorithm's peers read the
      // buffer where it lies; plain memory when the pool is off or full.
      if (qor::network::shm_pool* pool = global_hw_h->_shm_pool.get()) {
        // The pool is a sparse file there: a page it cannot back would
        // kill the process that touches it instead of failing here.
        *ptr = bytes > 0 && bytes <= qor::network::shm_bytes_free() ? pool->allocate(bytes, align) : nullptr;
        if (*ptr != nullptr) return bytes;
        if (bytes > 0) {
          QOR_TRACE('W') << "qor_malloc: " << bytes << " bytes do not fit in the shared pool (" << pool->bytes_free()
                         << " bytes free, -shm_pool); plain memory, which allreduce copies in";
        }
      }
      global_hw_h->malloc(ptr, bytes);
      if (*ptr == nullptr && bytes > 0) {
        QOR_TRACE('W') << "qor_malloc: cannot allocate " << bytes << " bytes of host memory";
        return QOR_FAILURE;
      }
      return bytes;
    }
    QOR_CHECK_CUDA(cudaMalloc(ptr, bytes));
    return bytes;
  } catch (...) {
    return exception_handle();
  }
}

extern "C" QOR_Status qor_free(void* ptr) {
  return guarded([&] {
    if (host_only()) {
      qor::network::shm_pool* pool = global_hw_h->_shm_pool.get();
      if (pool == nullptr || !pool->release(ptr)) global_hw_h->free(ptr);
    } else {
      QOR_CHECK_CUDA(cudaFree(ptr));
    }
    return QOR_SUCCESS;
  });
}

std::vector<cudaStream_t> interface_streams() {
  if (global_nccl_context) return {global_nccl_context->stream};
  return global_hw_h->_streams;
}

QOR_Status qor_memcpy_helper(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  const std::vector<cudaStream_t> streams = interface_streams();
  const size_t n = streams.size();
  if (n == 0) {
    copy_now(dst, src, bytes, kind);
    return QOR_SUCCESS;
  }
  // One chunk per stream; the last one also takes the remainder.
  const size_t chunk = bytes / n;
  for (size_t i = 0; i < n; ++i) {
    const size_t offset = i * chunk;
    const size_t length = i + 1 == n ? bytes - offset : chunk;
    QOR_CHECK_CUDA(cudaMemcpyAsync(static_cast<char*>(dst) + offset,
                                   static_cast<const char*>(src) + offset, length, kind,
                                   streams[i]));
  }
  return QOR_SUCCESS;
}

extern "C" QOR_Status qor_memcpy_host_to_device(void* dst, const void* src, size_t bytes) {
  return guarded([&] {
    if (!require_initialized("qor_memcpy_host_to_device")) return QOR_FAILURE;
    return qor_memcpy_helper(dst, src, bytes, cudaMemcpyHostToDevice);
  });
}

extern "C" QOR_Status qor_memcpy_device_to_host(void* dst, const void* src, size_t bytes) {
  return guarded([&] {
    if (!require_initialized("qor_memcpy_device_to_host")) return QOR_FAILURE;
    return qor_memcpy_helper(dst, src, bytes, cudaMemcpyDeviceToHost);
  });
}

namespace {

// Copies piece i between `pieces[i]` and the packed buffer at the running offset.
QOR_Status copy_pieces(const char* function, char* packed, char** pieces, const size_t* size,
                       size_t count, bool to_packed) {
  return guarded([&] {
    if (!require_initialized(function)) return QOR_FAILURE;
    const std::vector<cudaStream_t> streams = interface_streams();
    size_t offset = 0;
    for (size_t i = 0; i < count; ++i) {
      char* dst = to_packed ? packed + offset : pieces[i];
      const char* src = to_packed ? pieces[i] : packed + offset;
      if (streams.empty()) {
        copy_now(dst, src, size[i], cudaMemcpyDeviceToDevice);
      } else {
        QOR_CHECK_CUDA(cudaMemcpyAsync(dst, src, size[i], cudaMemcpyDeviceToDevice,
                                       streams[i % streams.size()]));
      }
      offset += size[i];
    }
    return QOR_SUCCESS;
  });
}

}  // namespace

extern "C" QOR_Status qor_memcpy_gather(char* dst, char** src, size_t* size, size_t count) {
  return copy_pieces("qor_memcpy_gather", dst, src, size, count, true);
}

extern "C" QOR_Status qor_memcpy_scatter(char** dst, size_t* size, size_t count, char* src) {
  return copy_pieces("qor_memcpy_scatter", src, dst, size, count, false);
}

extern "C" QOR_Status qor_memsync(void) {
  return guarded([&] {
    if (!require_initialized("qor_memsync")) return QOR_FAILURE;
    for (cudaStream_t stream : interface_streams()) QOR_CHECK_CUDA(cudaStreamSynchronize(stream));
    return QOR_SUCCESS;
  });
}

extern "C" QOR_Status qor_get_key_value(QOR_Key key, void* value) {
  return guarded([&] {
    if (static_cast<unsigned>(key) > QOR_KEY_DEVICE) {
      std::fprintf(stderr, " undefined QOR_Key (%d)", static_cast<int>(key));
      std::fflush(stderr);
      return QOR_FAILURE;
    }
    if (!require_initialized("qor_get_key_value") || global_stat_h == nullptr) {
      return QOR_FAILURE;
    }
    switch (key) {
      case QOR_KEY_E2E: *static_cast<double*>(value) = global_stat_h->_e2e; break;
      case QOR_KEY_JITTER: *static_cast<double*>(value) = global_stat_h->_jitter; break;
      case QOR_KEY_BW_DIM0:
      case QOR_KEY_BW_DIM1:
      case QOR_KEY_BW_DIM2:
      case QOR_KEY_BW_DIM3:
        *static_cast<double*>(value) = global_stat_h->get_bandwith(key - QOR_KEY_BW_DIM0);
        break;
      case QOR_KEY_DEVICE:
        *static_cast<int*>(value) =
            global_nccl_context ? global_nccl_context->device : global_hw_h->_device;
        break;
    }
    return QOR_SUCCESS;
  });
}

extern "C" const char* qor_last_error(void) {
  // Kept per thread until its next call, so that the pointer stays valid.
  static thread_local std::string returned;
  returned = qor::take_error_text();
  return returned.c_str();
}
