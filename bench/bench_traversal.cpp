// Traversal benchmark, host-CPU mode, one dimension over all processes
// (meant for 2 processes of one host; see run_allreduce_bench.sh):
//
//  1. ring reduce-scatter + allgather, RCS reduce-scatter + allgather, and
//     MPI_Allreduce on the same float buffer, 1 KiB to 64 MiB: the median
//     over repetitions of the slowest process's time, algbw = bytes / time,
//     busbw = algbw * 2(n-1)/n;
//  2. the engine's host sum (y += x) against memcpy of the same arrays;
//  3. where a GPU is present, the ring allreduce in GPU mode on device
//     buffers, staged through pinned host memory when MPI is not CUDA-aware
//     (the advice line says which), against MPI_Allreduce of a host buffer
//     of the same size and against the pinned host-device copy bandwidth
//     measured in the same run.  In the emulated flavour this row measures
//     the emulation, not a GPU.
//
// Every buffer is allocated and touched once before timing, so no page
// faults are measured.
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qor_hw.h"
#include "qor_option.h"
#include "qor_stat.h"
#include "qor_sw.h"

namespace {

using qor::network::QOR_MDR_HOST_SUM;
using qor::network::QOR_MDR_NONE;
using qor::network::QOR_MDR_SUM;
using qor::network::qor_hw;
using qor::network::qor_sw;

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int rank_of(MPI_Comm comm) {
  int r = 0;
  MPI_Comm_rank(comm, &r);
  return r;
}

// Medians over `reps` rounds of the slowest process's time of one call of
// each of `ops`.  The calls take turns within every round, so that a change
// in the machine's background load touches all of them alike; `before` runs
// untimed ahead of every call.
std::vector<double> median_slowest(MPI_Comm comm, int reps,
                                   const std::vector<std::function<void()>>& ops,
                                   const std::function<void()>& before) {
  std::vector<std::vector<double>> times(ops.size());
  for (int i = 0; i < reps; ++i) {
    for (size_t k = 0; k < ops.size(); ++k) {
      before();
      MPI_Barrier(comm);
      const double t0 = now();
      ops[k]();
      double t = now() - t0;
      double slowest = 0.0;
      MPI_Allreduce(&t, &slowest, 1, MPI_DOUBLE, MPI_MAX, comm);
      times[k].push_back(slowest);
    }
  }
  std::vector<double> medians;
  for (auto& t : times) {
    std::sort(t.begin(), t.end());
    medians.push_back(t[t.size() / 2]);
  }
  return medians;
}

// A barrier that sleeps between polls: a process waiting here must not spin
// on a core that the measured process shares (the copy loses most).
void sleeping_barrier(MPI_Comm comm) {
  MPI_Request request = MPI_REQUEST_NULL;
  MPI_Ibarrier(comm, &request);
  int done = 0;
  MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  while (!done) {
    const struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  }
}

// Repetitions: enough to move about 2 GiB, between 9 and 301.
int repetitions(size_t bytes) {
  const size_t target = size_t{2} << 30;
  size_t reps = target / std::max<size_t>(bytes, 1);
  return static_cast<int>(std::clamp<size_t>(reps, 9, 301) | 1);
}

// The ring allreduce over dimension 0 with the reducing operator OP.
template <qor::network::OPR OP>
void ring_allreduce(qor_sw<float>& sw, cudaStream_t stream) {
  auto& D = sw._hw->_dim[0];
  auto& R = sw._rings[0];
  float* seg = sw._buf_base + R._net_off;
  float* tmp = sw.get_temp_buf(static_cast<size_t>(R._net_size.back()));
  sw.ring_traversal<OP, false>(stream, 0, D._rank, D._size, D._comm, R._next, R._prev, R._prev,
                               1, seg, R._net_disp.data(), R._net_size.data(), tmp, nullptr);
  sw.ring_traversal<QOR_MDR_NONE, false>(stream, 0, D._rank, D._size, D._comm, R._next, R._prev,
                                         D._rank, 2, seg, R._net_disp.data(), R._net_size.data(),
                                         nullptr, nullptr);
}

// One allreduce through the engine over dimension 0: reduce-scatter, then
// allgather, by ring or by recursive halving and doubling.
void engine_allreduce(qor_sw<float>& sw, bool rcs) {
  auto& D = sw._hw->_dim[0];
  if (!rcs) {
    ring_allreduce<QOR_MDR_HOST_SUM>(sw, nullptr);
  } else {
    float* seg = sw._buf_base + sw._rings[0]._net_off;
    auto& S = sw._rcs[0];
    const int s = static_cast<int>(S._my_size.size());
    float* tmp = sw.get_temp_buf(static_cast<size_t>(S._my_size.back()));
    sw.recur_traversal<QOR_MDR_HOST_SUM, false>(nullptr, 0, D._rank, s, D._comm,
                                                S._partner_rank.data(), 3, seg,
                                                S._partner_off.data(), S._partner_size.data(),
                                                S._my_off.data(), S._my_size.data(), tmp, nullptr);
    sw.recur_traversal<QOR_MDR_NONE, false>(nullptr, 0, D._rank, s, D._comm,
                                            S._partner_rank.data(), 4, seg, S._my_off.data(),
                                            S._my_size.data(), S._partner_off.data(),
                                            S._partner_size.data(), nullptr, nullptr);
  }
}

void fill(float* p, size_t n, float v) {
  for (size_t i = 0; i < n; ++i) p[i] = v + static_cast<float>(i % 1024);
}

// Section 3: the GPU-mode ring allreduce of device buffers.
void gpu_rows(int size, int me) {
  std::map<std::string, std::string> options = parse_option("-cpu_only 0 -mode r");
  qor_hw hw(MPI_COMM_WORLD, options);
  MPI_Comm comm = hw._comm;
  const size_t max_bytes = size_t{16} << 20;
  const size_t max_n = max_bytes / sizeof(float);
  void* device = nullptr;
  void* pinned = nullptr;
  hw.malloc(&device, max_bytes);
  cudaMallocHost(&pinned, max_bytes);
  std::vector<float> host(max_n);
  fill(host.data(), max_n, static_cast<float>(me));
  qor_sw<float> sw(hw, static_cast<float*>(device), static_cast<int>(max_n), 0);
  sw.get_temp_buf(max_n);
  cudaStream_t stream = hw._streams[0];
  const double bus = 2.0 * (size - 1) / size;
  if (me == 0) {
    std::printf(
        "\nGPU mode, ring, device buffers, %s; copy = pinned host-device copy GB/s in "
        "each direction\n",
        hw.stages_mpi() ? "staged through pinned host memory" : "to a CUDA-aware MPI");
    std::printf("%10s %5s | %10s %9s | %10s %9s | %9s %9s | %9s\n", "bytes", "reps", "gpu us",
                "busbw", "mpi us", "busbw", "h2d", "d2h", "gpu/mpi");
  }
  for (size_t bytes = 16384; bytes <= max_bytes; bytes *= 4) {
    const size_t n = bytes / sizeof(float);
    sw.update_buf(static_cast<float*>(device), static_cast<int>(n));
    const int reps = std::min(repetitions(bytes), 51) | 1;
    for (int i = 0; i < 2; ++i) ring_allreduce<QOR_MDR_SUM>(sw, stream);
    const std::vector<double> t = median_slowest(
        comm, reps,
        {[&] { ring_allreduce<QOR_MDR_SUM>(sw, stream); },
         [&] {
           MPI_Allreduce(MPI_IN_PLACE, host.data(), static_cast<int>(n), MPI_FLOAT, MPI_SUM, comm);
         },
         [&] { hw.copy_and_wait(device, pinned, bytes, cudaMemcpyHostToDevice, stream); },
         [&] { hw.copy_and_wait(pinned, device, bytes, cudaMemcpyDeviceToHost, stream); }},
        [&] {
          fill(host.data(), n, static_cast<float>(me));
          cudaMemcpy(device, host.data(), bytes, cudaMemcpyHostToDevice);
          cudaDeviceSynchronize();
        });
    auto busbw = [&](double s) {
      return s > 0.0 ? static_cast<double>(bytes) / s * bus / 1e9 : 0.0;
    };
    auto copy_bw = [&](double s) { return static_cast<double>(bytes) / s / 1e9; };
    if (me == 0) {
      std::printf("%10zu %5d | %10.1f %9.3f | %10.1f %9.3f | %9.3f %9.3f | %9.3f\n", bytes, reps,
                  t[0] * 1e6, busbw(t[0]), t[1] * 1e6, busbw(t[1]), copy_bw(t[2]), copy_bw(t[3]),
                  busbw(t[0]) / busbw(t[1]));
    }
  }
  std::fflush(stdout);
  cudaFreeHost(pinned);
  hw.free(device);
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int size = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const int me = rank_of(MPI_COMM_WORLD);
  {
    std::map<std::string, std::string> options = parse_option("-cpu_only 1 -mode r");
    qor_hw hw(MPI_COMM_WORLD, options);
    MPI_Comm comm = hw._comm;

    const size_t max_bytes = size_t{64} << 20;
    const size_t max_n = max_bytes / sizeof(float);
    std::vector<float> buf(max_n);  // touched here, once
    fill(buf.data(), max_n, static_cast<float>(me));

    qor_sw<float> sw(hw, buf.data(), static_cast<int>(max_n), 0);
    sw.enable_rcs();
    const bool rcs_possible = qor_hw::get_rcs_depth(size) > 0;
    // The scratch area at its largest, touched once, so that no size below
    // reallocates it or faults its pages in.
    float* tmp = sw.get_temp_buf(max_n);
    std::memset(tmp, 0, max_n * sizeof(float));

    const double bus = 2.0 * (size - 1) / size;
    if (me == 0) {
      std::printf("%d processes, host-CPU mode, float, one dimension; median of the slowest "
                  "process's time; busbw = algbw * 2(n-1)/n\n",
                  size);
      std::printf("%10s %5s | %10s %9s | %10s %9s | %10s %9s | %9s %9s\n", "bytes", "reps",
                  "ring us", "busbw", "rcs us", "busbw", "mpi us", "busbw", "ring/mpi",
                  "rcs/mpi");
    }
    for (size_t bytes = 1024; bytes <= max_bytes; bytes *= 4) {
      const size_t n = bytes / sizeof(float);
      sw.update_buf(buf.data(), static_cast<int>(n));
      const int reps = repetitions(bytes);
      // A few untimed rounds first: connections, protocol switch-over.
      for (int i = 0; i < 3; ++i) {
        engine_allreduce(sw, false);
        if (rcs_possible) engine_allreduce(sw, true);
        MPI_Allreduce(MPI_IN_PLACE, buf.data(), static_cast<int>(n), MPI_FLOAT, MPI_SUM, comm);
      }
      // Every call starts from the same values, which stay small and exact.
      std::vector<std::function<void()>> ops = {
          [&] { engine_allreduce(sw, false); },
          [&] {
            MPI_Allreduce(MPI_IN_PLACE, buf.data(), static_cast<int>(n), MPI_FLOAT, MPI_SUM,
                          comm);
          }};
      if (rcs_possible) ops.push_back([&] { engine_allreduce(sw, true); });
      const std::vector<double> t =
          median_slowest(comm, reps, ops, [&] { fill(buf.data(), n, static_cast<float>(me)); });
      const double t_ring = t[0];
      const double t_mpi = t[1];
      const double t_rcs = rcs_possible ? t[2] : 0.0;
      auto busbw = [&](double t) { return t > 0.0 ? static_cast<double>(bytes) / t * bus / 1e9 : 0.0; };
      if (me == 0) {
        std::printf("%10zu %5d | %10.1f %9.3f | %10.1f %9.3f | %10.1f %9.3f | %9.3f %9.3f\n",
                    bytes, reps, t_ring * 1e6, busbw(t_ring), t_rcs * 1e6, busbw(t_rcs),
                    t_mpi * 1e6, busbw(t_mpi), busbw(t_ring) / busbw(t_mpi),
                    rcs_possible ? busbw(t_rcs) / busbw(t_mpi) : 0.0);
      }
    }

    // The host sum against a copy, on rank 0 alone while the others sleep.
    // Bytes: every element read or written counts once, so y += x moves
    // 3 * 4n bytes and a copy of x into y moves 2 * 4n.
    if (me == 0) {
      std::printf("\nhost sum (reduce_op<QOR_MDR_HOST_SUM>, y += x) against memcpy(y, x); "
                  "GB/s with 12n bytes for the sum, 8n for the copy\n");
      std::printf("%10s %5s | %10s %9s | %10s %9s | %9s\n", "bytes", "reps", "sum us", "GB/s",
                  "copy us", "GB/s", "sum/copy");
      // Page-aligned, like device buffers: glibc's memcpy (rep movsb) runs
      // ten times slower at 256 KiB when the destination sits a few bytes
      // past the source modulo 4 KiB, as two heap vectors may.
      std::unique_ptr<float, decltype(&std::free)> x_mem(
          static_cast<float*>(std::aligned_alloc(4096, max_bytes)), &std::free);
      std::unique_ptr<float, decltype(&std::free)> y_mem(
          static_cast<float*>(std::aligned_alloc(4096, max_bytes)), &std::free);
      float* x = x_mem.get();
      float* y = y_mem.get();
      fill(x, max_n, 1.0f);
      fill(y, max_n, 2.0f);
      cudaStream_t none = nullptr;
      for (size_t bytes : {size_t{256} << 10, size_t{4} << 20, size_t{64} << 20}) {
        const size_t n = bytes / sizeof(float);
        const int reps = std::max(repetitions(bytes), 15);
        auto median = [&](const std::function<void()>& op) {
          std::vector<double> t;
          op();
          for (int i = 0; i < reps; ++i) {
            const double t0 = now();
            op();
            t.push_back(now() - t0);
          }
          std::sort(t.begin(), t.end());
          return t[t.size() / 2];
        };
        const double t_sum = median([&] {
          sw.reduce_op<QOR_MDR_HOST_SUM>(none, static_cast<int>(n), x, y, 0);
        });
        const double t_copy = median([&] { std::memcpy(y, x, n * sizeof(float)); });
        const double bw_sum = 12.0 * static_cast<double>(n) / t_sum / 1e9;
        const double bw_copy = 8.0 * static_cast<double>(n) / t_copy / 1e9;
        std::printf("%10zu %5d | %10.1f %9.3f | %10.1f %9.3f | %9.3f\n", bytes, reps, t_sum * 1e6,
                    bw_sum, t_copy * 1e6, bw_copy, bw_sum / bw_copy);
      }
      std::fflush(stdout);
    }
    sleeping_barrier(comm);
  }
  int devices = 0;
  if (cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0) gpu_rows(size, me);
  MPI_Finalize();
  return 0;
}
