// qor_perf: the bandwidth and correctness check users run first.  Under
// mpiexec, every process sums a buffer of each size with the library and
// with a reference on the same buffer (MPI_Allreduce in host-CPU mode, a bare
// ncclAllReduce through a communicator of this program's own on GPUs), and
// rank 0 prints one row per size: the median time of the slowest process,
// algbw, busbw, the elements that differ from a host reference, and the
// reference's time and busbw.  See perf_args.cpp (usage) for the flags.
//
// The program uses the library through its public header only, as a training
// framework would; it starts MPI itself and leaves it running for the
// library (which shuts it down in qor_finalize).
#include <cuda_runtime.h>
#include <mpi.h>
#include <nccl.h>
#include <qor.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "perf_args.h"
#include "perf_bandwidth.h"
#include "perf_check.h"
#include "perf_report.h"
#include "start_text.h"

namespace {

using namespace qor_perf;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The reference allreduce, in place on the library's buffer.
class reference {
 public:
  reference(int device, int rank, int processes, bool half) : _device(device), _half(half) {
    if (device < 0) return;
    ncclUniqueId id{};
    ncclResult_t got = rank == 0 ? ncclGetUniqueId(&id) : ncclSuccess;
    MPI_Bcast(&id, sizeof id, MPI_BYTE, 0, MPI_COMM_WORLD);
    if (!cuda(cudaSetDevice(device), "cudaSetDevice") ||
        !cuda(cudaStreamCreateWithFlags(&_stream, cudaStreamNonBlocking), "cudaStreamCreateWithFlags"))
      return;
    if (got == ncclSuccess) got = ncclCommInitRank(&_comm, processes, id, rank);
    if (got != ncclSuccess) {
      std::fprintf(stderr, "qor_perf: rank %d: ncclCommInitRank: %s\n", rank, ncclGetErrorString(got));
      _comm = nullptr;
    }
  }
  ~reference() {
    if (_comm) ncclCommDestroy(_comm);
    if (_stream) cudaStreamDestroy(_stream);
  }
  reference(const reference&) = delete;
  reference& operator=(const reference&) = delete;

  bool ready() const { return _device < 0 || _comm != nullptr; }
  std::string name() const { return _device < 0 ? "MPI_Allreduce" : "ncclAllReduce"; }

  bool run(void* buf, size_t count) {
    if (_device < 0) {
      if (_half) return false;  // MPI has no half sum (the library refuses them on the host too)
      return MPI_Allreduce(MPI_IN_PLACE, buf, static_cast<int>(count), MPI_FLOAT, MPI_SUM, MPI_COMM_WORLD) ==
             MPI_SUCCESS;
    }
    const ncclResult_t r = ncclAllReduce(buf, buf, count, _half ? ncclHalf : ncclFloat, ncclSum, _comm, _stream);
    if (r != ncclSuccess) {
      std::fprintf(stderr, "qor_perf: ncclAllReduce: %s\n", ncclGetErrorString(r));
      return false;
    }
    return cuda(cudaStreamSynchronize(_stream), "cudaStreamSynchronize");
  }

 private:
  static bool cuda(cudaError_t e, const char* what) {
    if (e != cudaSuccess) std::fprintf(stderr, "qor_perf: %s: %s\n", what, cudaGetErrorString(e));
    return e == cudaSuccess;
  }
  int _device;
  bool _half;
  ncclComm_t _comm = nullptr;
  cudaStream_t _stream = nullptr;
};

bool library_call(const settings& s, void* buf, size_t count) {
  const QOR_Type type = s.half ? QOR_HALF : QOR_FLOAT;
  const QOR_Op op = s.average ? QOR_AVG : QOR_SUM;
  if (!s.async) return qor_allreduce(buf, count, type, op) == QOR_SUCCESS;
  const QOR_Status started = qor_allreduce_async(buf, count, type, op);
  return qor_wait() == QOR_SUCCESS && started == QOR_SUCCESS;
}

// True on every process when `good` is true on every process.
bool all_good(bool good) {
  int bad = good ? 0 : 1, any = 0;
  MPI_Allreduce(&bad, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return any == 0;
}

// One size: a checked call, then warm-up and timed iterations that take
// turns with the reference, each timed between barriers and maxed over the
// processes.  False when a call failed somewhere.
bool measure(const settings& s, reference& ref, void* buf, std::vector<char>& host, row& r, int rank,
             int processes) {
  fill_input(host.data(), r.count, rank, processes, s.half);
  qor_memcpy_host_to_device(buf, host.data(), r.bytes);
  qor_memsync();
  if (!all_good(library_call(s, buf, r.count))) {
    if (rank == 0) std::fprintf(stderr, "qor_perf: the library's allreduce failed at %zu bytes\n", r.bytes);
    return false;
  }
  if (s.check) {
    qor_memcpy_device_to_host(host.data(), buf, r.bytes);
    qor_memsync();
    unsigned long long wrong = count_wrong(host.data(), r.count, processes, s.half, s.average), total = 0;
    MPI_Allreduce(&wrong, &total, 1, MPI_UNSIGNED_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
    r.checked = true;
    r.wrong = total;
  }
  std::vector<double> times[2];
  for (int it = 0; it < s.warmup + s.iterations; ++it) {
    for (int which = 0; which < 2; ++which) {
      MPI_Barrier(MPI_COMM_WORLD);
      const double start = now();
      const bool good = which == 0 ? library_call(s, buf, r.count) : ref.run(buf, r.count);
      double mine[2] = {now() - start, good ? 0.0 : 1.0}, slowest[2];
      MPI_Allreduce(mine, slowest, 2, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
      if (slowest[1] != 0.0) {
        if (rank == 0)
          std::fprintf(stderr, "qor_perf: %s failed at %zu bytes\n",
                       which == 0 ? "the library's allreduce" : ref.name().c_str(), r.bytes);
        return false;
      }
      if (it >= s.warmup) times[which].push_back(slowest[0]);
    }
  }
  r.seconds = median(times[0]);
  r.ref_seconds = median(times[1]);
  return true;
}

// A plain copy of the buffer on every process at once, timed like the
// calls: the memory's speed in the same run (host memory only).
double copy_time(const settings& s, const void* buf, std::vector<char>& host, size_t bytes) {
  std::vector<double> times;
  for (int it = 0; it < s.warmup + s.iterations; ++it) {
    MPI_Barrier(MPI_COMM_WORLD);
    const double start = now();
    std::memcpy(host.data(), buf, bytes);
    double mine = now() - start, slowest = 0.0;
    MPI_Allreduce(&mine, &slowest, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    if (it >= s.warmup) times.push_back(slowest);
  }
  return median(times);
}

// The swept buffer: qor_malloc's with -R 1 and on GPUs, else plain host
// memory, which the library copies in where it shares memory.
class sweep_buffer {
 public:
  sweep_buffer(bool registered, int device, size_t bytes) : _plain(!registered && device < 0) {
    if (_plain) {
      _ok = posix_memalign(&_ptr, 256, bytes > 0 ? bytes : 1) == 0;
    } else {
      _ok = qor_malloc(&_ptr, 256, bytes) != 1;
    }
  }
  ~sweep_buffer() {
    if (_ptr == nullptr) return;
    if (_plain) {
      std::free(_ptr);
    } else {
      qor_free(_ptr);
    }
  }
  sweep_buffer(const sweep_buffer&) = delete;
  sweep_buffer& operator=(const sweep_buffer&) = delete;
  void* get() const { return _ptr; }
  bool ok() const { return _ok; }

 private:
  bool _plain;
  bool _ok = false;
  void* _ptr = nullptr;
};

int run(const settings& s) {
  int provided = 0, rank = 0, processes = 0;
  MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &processes);
  const bool mpiless = s.mode == start_mode::mpiless;
  const std::string text = qor_tools::start_text(mode_name(s.mode), s.options, rank, processes,
                                                 mpiless ? qor_tools::host_device() : 0,
                                                 mpiless ? qor_tools::shared_group_id(rank) : "");
  if (!all_good(qor_init(text.c_str()) == QOR_SUCCESS)) {
    if (rank == 0) std::fprintf(stderr, "qor_perf: qor_init(\"%s\") failed\n", text.c_str());
    qor_finalize();
    return 1;
  }
  int device = -1;
  qor_get_key_value(QOR_KEY_DEVICE, &device);
  const std::vector<size_t> sizes = sweep_sizes(s);
  std::vector<row> rows;
  bool good = true;
  std::string ref_name;
  {
    reference ref(device, rank, processes, s.half);
    ref_name = ref.name();
    sweep_buffer buffer(s.registered, device, sizes.back());
    void* buf = buffer.get();
    std::vector<char> host(sizes.back());
    good = all_good(ref.ready() && buffer.ok());
    if (rank == 0) std::fputs(table_header(s, processes, ref.name()).c_str(), stdout);
    const double start = now();
    double reported = start;
    for (size_t k = 0; good && k < sizes.size(); ++k) {
      row r;
      r.bytes = sizes[k];
      r.count = sizes[k] / element_bytes(s);
      // A job tunes its engine for its own buffer: the legacy engine keeps
      // what it chose for the first buffer until the library starts again.
      if (k > 0 && s.mode == start_mode::legacy) good = all_good(qor_init(text.c_str()) == QOR_SUCCESS);
      good = good && measure(s, ref, buf, host, r, rank, processes);
      if (!good) break;
      if (device < 0) r.copy_seconds = copy_time(s, buf, host, r.bytes);
      rows.push_back(r);
      if (rank == 0) {
        std::fputs(table_row(s, r, processes).c_str(), stdout);
        std::fflush(stdout);
        const double t = now();
        if (t - start > 3.0 && (t - reported > 1.0 || k + 1 == sizes.size())) {
          std::fprintf(stderr, "qor_perf: %zu bytes done, size %zu of %zu (%.0f s)\n", r.bytes, k + 1,
                       sizes.size(), t - start);
          reported = t;
        }
      }
    }
  }
  size_t wrong = 0;
  for (const row& r : rows) wrong += r.wrong;
  if (rank == 0) {
    std::fputs(table_footer(rows, processes).c_str(), stdout);
    std::fflush(stdout);
    if (!s.json_file.empty()) {
      std::ofstream out(s.json_file);
      out << json_report(s, rows, processes, ref_name, device);
      if (!out) std::fprintf(stderr, "qor_perf: cannot write %s\n", s.json_file.c_str()), good = false;
    }
    if (wrong) std::fprintf(stderr, "qor_perf: %zu elements differ from the host reference\n", wrong);
  }
  good = all_good(good);
  const bool finalized = qor_finalize() == QOR_SUCCESS;
  int stopped = 0;
  MPI_Finalized(&stopped);
  if (!stopped) MPI_Finalize();
  return good && finalized && wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const parsed p = parse_args(std::vector<std::string>(argv + 1, argv + argc));
  // Before MPI starts, the launcher's environment tells the rank.
  const char* world_rank = std::getenv("OMPI_COMM_WORLD_RANK");
  const bool speaker = world_rank == nullptr || std::string(world_rank) == "0";
  if (!p.error.empty()) {
    if (speaker) std::fprintf(stderr, "%s\n", p.error.c_str());
    return 2;
  }
  if (p.s.help) {
    if (speaker) std::fputs(usage().c_str(), stdout);
    return 0;
  }
  return run(p.s);
}
