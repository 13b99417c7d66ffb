// The exported lifecycle and allreduce entry points, and the one place where
// exceptions become status codes.
#include <cuda_fp16.h>
#include <mpi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>

#include "qor.h"
#include "qor_check.h"
#include "qor_clock.h"
#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_option.h"
#include "qor_stat.h"
#include "qor_state.h"
#include "qor_trace.h"
#include "qor_utilities.h"
#include "qor_watchdog.h"

qor::network::qor_hw* global_hw_h = nullptr;
qor::network::qor_stat* global_stat_h = nullptr;
qor_sw_h global_sw_float_h = {nullptr, 0};
qor_sw_h global_sw_half_h = {nullptr, 1};
std::unique_ptr<qor_nccl_context> global_nccl_context;
int qor_iter = 0;

namespace {

// MPI + NCCL mode: rank 0's identifier joins every process; the device of a
// process is its rank on its host.
void initialize_mpi_nccl() {
  int rank = 0;
  int size = 0;
  int local_rank = 0;
  if (qor_rank(&rank) != QOR_SUCCESS || qor_size(&size) != QOR_SUCCESS ||
      qor_local_rank(&local_rank) != QOR_SUCCESS) {
    QOR_RAISE(qor::library_failure_status, qor_message::MSG_QOR, qor::host_name().c_str());
  }
  ncclUniqueId id;
  QOR_CHECK_NCCL(ncclGetUniqueId(&id));
  QOR_CHECK_MPI(MPI_Bcast(&id, sizeof id, MPI_BYTE, 0, MPI_COMM_WORLD));
  initialize_nccl(size, rank, local_rank, id);
}

void release_software_layers() {
  for (qor_sw_h* sw_h : {&global_sw_float_h, &global_sw_half_h}) {
    if (sw_h->handle != nullptr) qor_destroy_sw(*sw_h);
    sw_h->handle = nullptr;
  }
}

}  // namespace

QOR_Status exception_handle() {
  try {
    throw;
  } catch (const QORException&) {
    // Logged where it was raised.
  } catch (const std::exception& e) {
    qor::log_error(__FILE__, __LINE__, qor_message::MSG_UNKNOWN_DETAIL, e.what());
  } catch (...) {
    qor::log_error(__FILE__, __LINE__, qor_message::MSG_UNKNOWN);
  }
  return QOR_FAILURE;
}

bool require_initialized(const char* function) {
  if (global_nccl_context || global_hw_h != nullptr) return true;
  QOR_TRACE('W') << function << ": QOR is not initialized (call qor_init first)";
  return false;
}

extern "C" QOR_Status qor_init(const char* options) {
  try {
    if (options == nullptr) throw std::invalid_argument("qor_init: the option text is a null pointer");
    std::map<std::string, std::string> map = parse_option(std::string(options));
    const std::string worker_count = map.at("qor_worker_count");
    long legacy = std::strtol(map.at("qor_legacy_allreduce").c_str(), nullptr, 10);
    const double watchdog_seconds =
        qor::watchdog::resolve_seconds(map.at("watchdog_sec"), std::getenv("QOR_WATCHDOG_SEC"));

    // A repeated start replaces what a running request uses.
    if (!qor_wait_idle_for("qor_init", 'W')) return QOR_FAILURE;
    if (global_stat_h == nullptr) global_stat_h = new qor::network::qor_stat();

    if (!worker_count.empty()) {
      initialize_mpiless(map);
      qor::watchdog::start(watchdog_seconds, "MPI-less NCCL mode", global_nccl_context->rank);
      return QOR_SUCCESS;
    }
    initialize_mpi();
    if (legacy == 0) {
      initialize_mpi_nccl();
      qor::watchdog::start(watchdog_seconds, "MPI + NCCL mode", global_nccl_context->rank);
      return QOR_SUCCESS;
    }
    if (global_hw_h != nullptr) {
      // The next allreduce makes new layers; the old ones would only leak.
      release_software_layers();
    } else if (qor_create_hw(map, global_hw_h) != QOR_SUCCESS) {
      return QOR_FAILURE;
    } else {
      global_sw_float_h.handle = nullptr;
      global_sw_half_h.handle = nullptr;
    }
    qor::watchdog::start(watchdog_seconds,
                         global_hw_h->_device < 0 ? "legacy engine mode, host-CPU"
                                                  : "legacy engine mode, GPU",
                         global_hw_h->_rank);
    return QOR_SUCCESS;
  } catch (...) {
    return exception_handle();
  }
}

extern "C" QOR_Status qor_finalize(void) {
  try {
    // An asynchronous request still running would use what is released here.
    if (!qor_wait_idle_for("qor_finalize", 'W')) return QOR_FAILURE;
    qor::watchdog::stop();
    delete global_stat_h;
    global_stat_h = nullptr;
    release_software_layers();
    delete global_hw_h;
    global_hw_h = nullptr;
    if (qor::mpi_running()) QOR_CHECK_MPI(MPI_Finalize());
    if (global_nccl_context) {
      std::unique_ptr<qor_nccl_context> context = std::move(global_nccl_context);
      release_nccl_context(*context);
    }
    return QOR_SUCCESS;
  } catch (...) {
    return exception_handle();
  }
}

extern "C" QOR_Status qor_generate_group_id(char* group_id) {
  try {
    if (group_id == nullptr) throw std::invalid_argument("qor_generate_group_id: null buffer");
    ncclUniqueId id;
    QOR_CHECK_NCCL(ncclGetUniqueId(&id));
    std::string text =
        encodeBase64(reinterpret_cast<const unsigned char*>(id.internal), sizeof id.internal);
    std::memcpy(group_id, text.c_str(), text.size() + 1);
    return QOR_SUCCESS;
  } catch (...) {
    return exception_handle();
  }
}

namespace {

// Host-CPU mode keeps buffers in host memory: scale them on this thread.
void average_on_host(void* buf, size_t count, QOR_Type type, float scale) {
  if (type == QOR_FLOAT) {
    float* x = static_cast<float*>(buf);
    for (size_t i = 0; i < count; ++i) x[i] *= scale;
  } else {
    // Half buffers are scaled as halves: reading them as floats would touch
    // twice their size.
    __half* x = static_cast<__half*>(buf);
    for (size_t i = 0; i < count; ++i) x[i] = __float2half(__half2float(x[i]) * scale);
  }
}

}  // namespace

void qor_average_buffer(void* buf, size_t count, QOR_Type type) {
  if (type != QOR_FLOAT && type != QOR_HALF) return;
  const int nranks = global_nccl_context ? global_nccl_context->nranks : global_hw_h->_size;
  const float scale = static_cast<float>(1.0 / nranks);
  if (!global_nccl_context && global_hw_h->_device < 0) {
    average_on_host(buf, count, type, scale);
    return;
  }
  cublasHandle_t cublas = global_nccl_context ? global_nccl_context->cublas : global_hw_h->_cublas;
  cudaStream_t stream = global_nccl_context ? global_nccl_context->stream : global_hw_h->_streams[0];
  const cudaDataType data_type = type == QOR_FLOAT ? CUDA_R_32F : CUDA_R_16F;
  const size_t element_size = type == QOR_FLOAT ? sizeof(float) : sizeof(__half);
  // cuBLAS counts in int: scale larger buffers piece by piece.
  const size_t piece = static_cast<size_t>(std::numeric_limits<int>::max());
  char* bytes = static_cast<char*>(buf);
  size_t done = 0;
  do {
    const int n = static_cast<int>(std::min(piece, count - done));
    QOR_CHECK_CUBLAS(cublasScalEx(cublas, n, &scale, CUDA_R_32F, bytes + done * element_size,
                                  data_type, 1, CUDA_R_32F));
    done += static_cast<size_t>(n);
  } while (done < count);
  QOR_CHECK_CUDA(cudaStreamSynchronize(stream));
}

extern "C" QOR_Status qor_allreduce(void* buf, size_t count, QOR_Type type, QOR_Op op) {
  if (static_cast<unsigned>(type) > 1) return QOR_FAILURE;
  try {
    const qor::watchdog::watched_call watched("qor_allreduce", count, type);
    if (!require_initialized("qor_allreduce")) return QOR_FAILURE;
    if (global_nccl_context) {
      qor_nccl_context& context = *global_nccl_context;
      double start = qor::monotonic_seconds();
      global_stat_h->_e2e = start;
      // The context's stream is non-blocking: it would not wait for the
      // work that computes the gradient on the caller's streams.
      QOR_CHECK_CUDA(cudaDeviceSynchronize());
      QOR_CHECK_NCCL(ncclAllReduce(buf, buf, count, get_nccl_datatype(type), ncclSum,
                                   context.comm, context.stream));
      QOR_CHECK_CUDA(cudaStreamSynchronize(context.stream));
      if (op == QOR_AVG) qor_average_buffer(buf, count, type);
      global_stat_h->_e2e = qor::monotonic_seconds() - start;
      return QOR_SUCCESS;
    }
    return type == QOR_HALF ? qor_allreduce_half(buf, count, op)
                            : qor_allreduce_float(buf, count, op);
  } catch (...) {
    return exception_handle();
  }
}

extern "C" int qor_allreduce_mpi(const char* options, void* buf, int count,
                                 MPI_Datatype datatype, MPI_Op op, MPI_Comm comm) {
  try {
    // Anything but a sum over the world would be silently summed over the world.
    if (op != MPI_SUM || comm != MPI_COMM_WORLD) {
      QOR_TRACE('W') << "qor_allreduce_mpi: only MPI_SUM over MPI_COMM_WORLD is supported";
      return QOR_FAILURE;
    }
    if (global_hw_h == nullptr && !global_nccl_context) {
      QOR_Status status = qor_init(options);
      if (status != QOR_SUCCESS) return status;
    }
    QOR_Type type;
    if (datatype == MPI_FLOAT) {
      type = QOR_FLOAT;
    } else if (datatype == MPI_SHORT) {
      type = QOR_HALF;
    } else {
      return QOR_FAILURE;
    }
    if (count < 0) {
      QOR_TRACE('W') << "qor_allreduce_mpi: negative count " << count;
      return QOR_FAILURE;
    }
    return qor_allreduce(buf, static_cast<size_t>(count), type, QOR_SUM) == QOR_SUCCESS
               ? 0
               : MPI_ERR_UNKNOWN;
  } catch (...) {
    return exception_handle();
  }
}
