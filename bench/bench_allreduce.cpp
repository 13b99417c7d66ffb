// Allreduce benchmark: whole calls of the driver, as the library makes them,
// against MPI_Allreduce in the same run (meant for 2 processes of one host;
// see run_allreduce_bench.sh):
//
//  1. host-CPU mode, one dimension, float, 1 KiB to 64 MiB: the driver with
//     mode r (ring), c (recursive halving and doubling), m (MPI collectives)
//     and m with fuse_dim 1 (the dimension fused into one MPI_Allreduce),
//     s (shared memory) and s with fuse_dim 1 (one shared-memory phase),
//     the algorithms tuning by measurement chooses for the size (-mode p,
//     without and with fuse_dim 1), and MPI_Allreduce itself on the same
//     buffer: the median over repetitions of the slowest process's time,
//     busbw = algbw * 2(n-1)/n, and the tuned layers against the best fixed
//     mode, all in one run (the machine's speed may change between runs);
//  2. the engine's host sum (y += x) against memcpy of the same arrays;
//  3. where a GPU is present, the driver in GPU mode with the ring on device
//     buffers, staged through pinned host memory when MPI is not CUDA-aware
//     (the advice line says which), against MPI_Allreduce of a host buffer
//     of the same size and against the pinned host-device copy bandwidth
//     measured in the same run.  In the emulated flavour this row measures
//     the emulation, not a GPU.
//
// Each layer's algorithms are set here from its mode letter as selection
// sets them: a letter per dimension, the same in both phases, and fusing
// turns MPI on the last dimension into one allreduce.  Every buffer is
// allocated and touched once before timing, so no page faults are measured.
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

#include "qor_algo.h"
#include "qor_allreduce.h"
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

// A layer whose every dimension runs `algo` in both phases; the last one
// fused into one allreduce (`algo`'s fused form) where `fused`.
void choose(qor_sw<float>& sw, int algo, bool fused) {
  const int whole = qor::network::find_algo(algo)->fuses_to;
  for (size_t d = 0; d < sw._best_rs_algo.size(); ++d) {
    const bool last = d + 1 == sw._best_rs_algo.size();
    sw._best_rs_algo[d] = fused && last ? whole : algo;
    sw._best_ag_algo[d] = fused && last ? whole : algo;
  }
}

// What tuning chose for a layer of one dimension: "RS/AG", labels trimmed.
std::string chosen(const qor_sw<float>& sw) {
  auto label = [](int algo) {
    std::string text = qor::network::get_algo_text(algo);
    return text.substr(0, text.find(' '));
  };
  return label(sw._best_rs_algo[0]) + "/" + label(sw._best_ag_algo[0]);
}

// One whole call of the driver; it counts its iterations as the library
// does, so that no call is a statistics or accumulation call.
template <qor::network::OPR OP>
void driver_call(qor_sw<float>& sw, qor::network::qor_stat& stat) {
  static size_t iter = 0;
  if (qor::network::allreduce<float, OP>(&sw, ++iter, &stat) != QOR_SUCCESS) {
    std::fprintf(stderr, "the driver failed\n");
    MPI_Abort(MPI_COMM_WORLD, 1);
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
  qor::network::qor_stat stat;
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
    for (int i = 0; i < 2; ++i) driver_call<QOR_MDR_SUM>(sw, stat);
    const std::vector<double> t = median_slowest(
        comm, reps,
        {[&] { driver_call<QOR_MDR_SUM>(sw, stat); },
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

    // One layer per mode over the same buffer, each with its scratch area
    // at its largest and touched once, so that no size below reallocates it
    // or faults its pages in.
    struct mode {
      const char* name;
      int algo;
      bool fused;
    };
    std::vector<mode> modes = {{"r", qor::network::ALG_RING, false},
                               {"m", qor::network::ALG_MPI, false},
                               {"m fused", qor::network::ALG_MPI, true},
                               {"s", qor::network::ALG_SHM, false},
                               {"s fused", qor::network::ALG_SHM, true}};
    if (qor_hw::get_rcs_depth(size) > 0) modes.insert(modes.begin() + 1, {"c", qor::network::ALG_RCS, false});
    std::vector<std::unique_ptr<qor_sw<float>>> layers;
    for (const mode& m : modes) {
      layers.push_back(std::make_unique<qor_sw<float>>(hw, buf.data(), static_cast<int>(max_n), 0));
      layers.back()->enable_rcs();
      choose(*layers.back(), m.algo, m.fused);
      float* tmp = layers.back()->get_temp_buf(max_n);
      std::memset(tmp, 0, max_n * sizeof(float));
    }
    qor::network::qor_stat stat;
    // Tuning by measurement, as the library does it for each new buffer:
    // a layer per size on a hardware layer of its own, fusing allowed again
    // for every size, as after a restart.
    std::map<std::string, std::string> tuned_options = parse_option("-cpu_only 1 -mode p");
    std::map<std::string, std::string> fused_options = parse_option("-cpu_only 1 -mode p -fuse_dim 1");
    qor_hw tuned_hw(MPI_COMM_WORLD, tuned_options);
    qor_hw fused_hw(MPI_COMM_WORLD, fused_options);
    const char* tuned_names[] = {"p", "p fused"};

    const double bus = 2.0 * (size - 1) / size;
    if (me == 0) {
      std::printf("%d processes, host-CPU mode, float, one dimension, whole driver calls; median "
                  "of the slowest process's time; busbw = algbw * 2(n-1)/n; x = busbw / mpi busbw\n",
                  size);
      std::printf("%10s %5s | %10s %9s", "bytes", "reps", "mpi us", "busbw");
      for (const mode& m : modes) std::printf(" | %7s us %9s %6s", m.name, "busbw", "x");
      for (const char* name : tuned_names) std::printf(" | %7s us %9s %6s %-9s", name, "busbw", "x", "chose");
      std::printf(" | best fixed     | p/best pf/best\n");
    }
    for (size_t bytes = 1024; bytes <= max_bytes; bytes *= 4) {
      const size_t n = bytes / sizeof(float);
      for (auto& layer : layers) layer->update_buf(buf.data(), static_cast<int>(n));
      const int reps = repetitions(bytes);
      std::vector<std::function<void()>> ops = {[&] {
        MPI_Allreduce(MPI_IN_PLACE, buf.data(), static_cast<int>(n), MPI_FLOAT, MPI_SUM, comm);
      }};
      fused_hw._fuse_dim = 1;
      std::unique_ptr<qor_sw<float>> tuned[] = {
          std::make_unique<qor_sw<float>>(tuned_hw, buf.data(), static_cast<int>(n), 0),
          std::make_unique<qor_sw<float>>(fused_hw, buf.data(), static_cast<int>(n), 0)};
      for (auto& layer : tuned) {
        if (layer->select_algo() != QOR_SUCCESS) {
          std::fprintf(stderr, "tuning failed at %zu bytes\n", bytes);
          MPI_Abort(MPI_COMM_WORLD, 1);
        }
      }
      for (auto& layer : layers) {
        qor_sw<float>* sw = layer.get();
        ops.push_back([sw, &stat] { driver_call<QOR_MDR_HOST_SUM>(*sw, stat); });
      }
      for (auto& layer : tuned) {
        qor_sw<float>* sw = layer.get();
        ops.push_back([sw, &stat] { driver_call<QOR_MDR_HOST_SUM>(*sw, stat); });
      }
      // A few untimed rounds first: connections, protocol switch-over.
      for (int i = 0; i < 3; ++i) {
        for (auto& op : ops) op();
      }
      // Every call starts from the same values, which stay small and exact.
      const std::vector<double> t =
          median_slowest(comm, reps, ops, [&] { fill(buf.data(), n, static_cast<float>(me)); });
      auto busbw = [&](double t) { return t > 0.0 ? static_cast<double>(bytes) / t * bus / 1e9 : 0.0; };
      if (me == 0) {
        std::printf("%10zu %5d | %10.1f %9.3f", bytes, reps, t[0] * 1e6, busbw(t[0]));
        size_t best = 1;
        for (size_t k = 1; k < t.size(); ++k) {
          std::printf(" | %10.1f %9.3f %6.3f", t[k] * 1e6, busbw(t[k]), busbw(t[k]) / busbw(t[0]));
          if (k > layers.size()) std::printf(" %-9s", chosen(*tuned[k - layers.size() - 1]).c_str());
          if (k <= layers.size() && t[k] < t[best]) best = k;
        }
        const double tuned_time[] = {t[layers.size() + 1], t[layers.size() + 2]};
        std::printf(" | %-7s %6.3f | %6.3f %6.3f\n", modes[best - 1].name, busbw(t[best]) / busbw(t[0]),
                    t[best] / tuned_time[0], t[best] / tuned_time[1]);
      }
    }
    std::fflush(stdout);
    qor_sw<float>& sw = *layers.front();

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
