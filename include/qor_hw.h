// The hardware layer: one object per process in legacy engine mode.  It owns
// the duplicated communicator, the device choice, the topology dimensions,
// the CUDA streams, the cuBLAS handle and the per-dimension NCCL
// communicators, and keeps the run-time options that the engine reads.
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <mpi.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qor_dim.h"

namespace qor {
namespace network {

// Open MPI's OMPI_COMM_TYPE_HOST split type: one communicator per host.
constexpr int host_split_type = 9;

// Per-dimension algorithm of the engine.
enum ALG {
  ALG_NOOP = 0,
  ALG_NCCLB = 1,
  ALG_NCCLR = 2,
  ALG_RING = 3,
  ALG_RCS = 4,
  ALG_MPI = 5,
  ALG_DECENT = 7,
  ALG_MPIA = 8,
  ALG_NCCLA = 9,
  ALG_SHM = 10,
  ALG_SHMA = 11
};

class qor_hw {
 public:
  // Collective over `comm`.  `options` should hold every option key; a
  // missing key reads as the empty text.  Throws QORException (after logging
  // it) and then holds nothing: communicators, streams and handles made so
  // far are released.
  qor_hw(MPI_Comm comm, std::map<std::string, std::string>& options);
  ~qor_hw();
  qor_hw(const qor_hw&) = delete;
  qor_hw& operator=(const qor_hw&) = delete;

  // --- algorithm letters of _desc ------------------------------------------
  bool check_algo(char c);
  int get_num_algo();
  char get_algo(int d);

  // --- sizing --------------------------------------------------------------
  static int get_rcs_depth(int n);
  static int get_avg_buf_size(int count, int parts);

  // --- run-time options ----------------------------------------------------
  // 16 bytes: dbg_level, mon_iter, dump_iter, comm_iter as host-order int32.
  int serialize_option(char* buf);
  void deserialize_option(const char* buf);
  void update_option(const std::string& opts);

  // --- topology --------------------------------------------------------------
  void create_dim();
  static void comb(int rank, std::vector<int> dims, std::vector<int>& coords);
  static int decomb(std::vector<int>& dims, std::vector<int>& coords);

  // --- devices, streams, NCCL ------------------------------------------------
  void create_cuda();
  void enable_nccl(bool all);
  void clean_cuda_streams(std::vector<int>& rs_algo, std::vector<int>& ag_algo);
  void wait_stream(cudaStream_t* streams, int n);
  void wait_stream(std::vector<cudaStream_t>& streams, int n);
  void malloc(void** ptr, size_t size);
  void malloc_init(void** ptr, size_t size, int value);
  void free(void* ptr);
  // One copy on `stream`, complete when this returns.
  void copy_and_wait(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                     cudaStream_t stream);
  void check_device();
  // A copy between engine memory and MPI's view of it, done when this
  // returns: memmove on the host, on the engine's stream in GPU mode.
  void copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);
  // The stream the engine's own work runs on: none in host-CPU mode.
  cudaStream_t main_stream() const { return _streams.empty() ? nullptr : _streams[0]; }
  // Zeroes `bytes` of engine memory (host memory in host-CPU mode); done
  // when this returns.  A failing fill is message 3 with the CUDA code.
  void zero(void* ptr, size_t bytes);
  // cudaDeviceSynchronize in GPU mode (message 2 when it fails); nothing on
  // the host.
  void synchronize_device();
  // Whether dev_sync asks for a synchronisation before a call's collective
  // (and so before anything of the call reads the caller's buffer).
  bool sync_before_call() const { return _dev_sync == 1 || _dev_sync == 2; }
  // True when `mine` is true on every process of _comm (message 5 when the
  // reduction fails).  Collective.
  bool all_agree(bool mine);

  // --- MPI traffic of device buffers (qor_staging.cpp) -----------------------
  // True where device buffers must not go to MPI: GPU mode with an MPI that
  // is not CUDA-aware.
  bool stages_mpi() const { return _device >= 0 && !_mpi_cuda_aware; }
  // stages_mpi(), for a buffer that may be host or device memory.
  bool stages_mpi(const void* buf);
  // Pinned host buffer `which` (0: receive side, 1: send side) of at least
  // `bytes`; kept and grown across calls.
  void* staging_buffer(int which, size_t bytes);

  // --- data, in this order ---------------------------------------------------
  int _device = -1;  // -1: host-CPU mode
  int _size = 0;
  int _rank = 0;
  MPI_Comm _comm = MPI_COMM_NULL;
  std::vector<qor_dim> _dim;
  std::vector<cudaStream_t> _streams;       // [0] main stream, then per-peer streams
  std::vector<cudaStream_t> _pipe_streams;
  cublasHandle_t _cublas = nullptr;
  std::vector<int> _shared_rs_algo;
  std::vector<int> _shared_ag_algo;
  std::vector<bool> _multi_stream;          // one bit per dimension
  int _mon_iter = 0;
  int _dump_iter = 0;
  int _comm_iter = 0;
  std::string _desc;
  int _dev_sync = 0;
  int _rebind_iter = 0;
  double _jitter_thold = 0.0;
  std::vector<int> _cpus;
  int _cur_core = -1;
  int _too_slow = 0;
  double _slow_score = 0.0;
  int _dbg_level = 0;
  int _pipe = 0;
  float _pack = 0.0f;
  std::string _dump_grad_path;
  int _omp = 0;
  void* _host_buf = nullptr;  // pinned, allocated by the diagnostic dump
  int _mpi_inplace = 0;
  int _fuse_dim = 0;
  int _share_algo = 0;
  int _pipe_thold = 0;
  int _cross_node_nccl = 0;
  int _mpi_mode = 0;
  int _comp_min_size = 0;
  bool _mpi_cuda_aware = false;
  int _shm = 1;  // the SHM algorithm may run (agreed by every process)
  int _host_processes = 1;  // the job's processes on this host
  // qor_malloc's memory in host-CPU mode; null where the pool is off.
  std::unique_ptr<shm_pool> _shm_pool;
  std::string _mpi_cuda_awareness_source;  // how the choice was made

  // Partition alignment in elements, shared by the whole process.
  static int _align_part;

 private:
  void read_options(const std::map<std::string, std::string>& options);
  void choose_device(const std::map<std::string, std::string>& options);
  void check_conflicts(const std::map<std::string, std::string>& options);
  void write_advice(const std::map<std::string, std::string>& options);
  // Collective over _comm: when `ok` is false somewhere, every process where
  // it holds raises message 6 after an error line naming the first process
  // that failed and `failure`; those that failed return to report their own.
  void agree(bool ok, const std::string& failure);
  void detect_mpi_cuda_awareness();
  void write_cuda_awareness();
  void release_staging();
  void record_affinity();
  void create_shm_pool(const std::map<std::string, std::string>& options);
  void write_binding();
  // Releases what the destructor releases except the dimensions, which go
  // with the member itself; also the clean-up of a failed construction.
  void release();

  void create_stream(cudaStream_t* stream, int priority);
  int greatest_stream_priority();
  void make_dim_nccl(qor_dim& dim, int d, int count, bool per_peer);
  void resize_streams(size_t count);

  struct staging {
    void* memory = nullptr;
    size_t bytes = 0;
  };
  staging _staging[2];
};

}  // namespace network
}  // namespace qor
