// The main job: every process of an MPI job sums buffers with libqor, checks
// the result against a reference computed on the host, and reports how long
// each allreduce took.
//
//   mpiexec -n 4 qor_demo [elements]           float and half buffers, NCCL mode
//   mpiexec -n 4 qor_demo --legacy [elements]  the legacy engine in host-CPU
//       mode: algorithms chosen by timed trial runs (mode p, a 2x2 grid on four
//       processes), float buffers of changing sizes, a statistics report
#include <cuda_fp16.h>
#include <mpi.h>
#include <qor.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A value unique per element and rank whose sums are exact in both types.
float input_value(int rank, size_t i) { return static_cast<float>((i * 7 + rank * 13) % 128); }

struct run_result {
  size_t mismatches;
  double seconds;
};

template <class T>
run_result run(int rank, int size, size_t count, QOR_Type type, QOR_Op op) {
  std::vector<T> host(count);
  for (size_t i = 0; i < count; ++i) {
    if constexpr (sizeof(T) == 4)
      host[i] = input_value(rank, i);
    else
      host[i] = __float2half(input_value(rank, i));
  }
  void* device = nullptr;
  qor_malloc(&device, 256, count * sizeof(T));
  qor_memcpy_host_to_device(device, host.data(), count * sizeof(T));
  qor_memsync();
  if (qor_allreduce(device, count, type, op) != QOR_SUCCESS) {
    std::fprintf(stderr, "rank %d: qor_allreduce failed\n", rank);
    std::exit(1);
  }
  double seconds = 0.0;
  qor_get_key_value(QOR_KEY_E2E, &seconds);
  qor_memcpy_device_to_host(host.data(), device, count * sizeof(T));
  qor_memsync();
  qor_free(device);

  const float scale = static_cast<float>(1.0 / size);
  size_t mismatches = 0;
  for (size_t i = 0; i < count; ++i) {
    float sum = 0.0f;
    for (int r = 0; r < size; ++r) sum += input_value(r, i);
    float want = op == QOR_AVG ? sum * scale : sum;
    float got;
    if constexpr (sizeof(T) == 4)
      got = host[i];
    else
      got = __half2float(host[i]);
    // Half averages may differ by the rounding of the scaled value.
    float tolerance = sizeof(T) == 4 ? 0.0f : std::ldexp(std::fabs(want), -10);
    if (std::fabs(got - want) > tolerance) ++mismatches;
  }
  return {mismatches, seconds};
}

struct step {
  const char* name;
  QOR_Type type;
  QOR_Op op;
  size_t count;
};

// Runs the steps in order; rank 0 (and any process that finds a mismatch)
// reports each.  Returns the number of mismatching elements of this process.
size_t run_steps(int rank, int size, const std::vector<step>& steps) {
  size_t total_mismatches = 0;
  for (const step& s : steps) {
    run_result r = s.type == QOR_FLOAT ? run<float>(rank, size, s.count, s.type, s.op)
                                       : run<__half>(rank, size, s.count, s.type, s.op);
    total_mismatches += r.mismatches;
    if (rank == 0 || r.mismatches != 0) {
      std::printf("rank %d of %d: %s of %zu elements: %s, %.6f s\n", rank, size, s.name, s.count,
                  r.mismatches == 0 ? "matches the reference" : "MISMATCH", r.seconds);
      std::fflush(stdout);
    }
  }
  return total_mismatches;
}

// The legacy engine on the host: the start-up lines, the tuning report and
// the selected algorithms of the first float allreduce, then float sums and
// averages of changing sizes; every third call prints the statistics report.
int legacy_run(int argc, char** argv, size_t count) {
  MPI_Init(&argc, &argv);
  int size = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::string options = "-qor_legacy_allreduce 1 -cpu_only 1 -dbg_level 1 -dump_iter 3 -mode p";
  if (size == 4) options += ":2x2";
  if (qor_init(options.c_str()) != QOR_SUCCESS) {
    std::fprintf(stderr, "qor_init failed\n");
    return 1;
  }
  int rank = 0;
  qor_rank(&rank);
  if (rank == 0)
    std::printf("legacy engine mode with \"%s\" on %d processes\n", options.c_str(), size);
  const std::vector<step> steps = {{"float sum", QOR_FLOAT, QOR_SUM, count},
                                   {"float avg", QOR_FLOAT, QOR_AVG, count / 3 + 7},
                                   {"float sum", QOR_FLOAT, QOR_SUM, count}};
  const size_t mismatches = run_steps(rank, size, steps);
  const QOR_Status end = qor_finalize();
  return mismatches == 0 && end == QOR_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool legacy = argc > 1 && std::string(argv[1]) == "--legacy";
  const int count_arg = legacy ? 2 : 1;
  size_t count = argc > count_arg ? std::strtoul(argv[count_arg], nullptr, 10) : 1000000;
  if (legacy) return legacy_run(argc, argv, count);
  if (qor_init("") != QOR_SUCCESS) {
    std::fprintf(stderr, "qor_init failed\n");
    return 1;
  }
  int rank = 0;
  int size = 0;
  qor_rank(&rank);
  qor_size(&size);
  const std::vector<step> steps = {{"float sum", QOR_FLOAT, QOR_SUM, count},
                                   {"float avg", QOR_FLOAT, QOR_AVG, count},
                                   {"half  sum", QOR_HALF, QOR_SUM, count},
                                   {"half  avg", QOR_HALF, QOR_AVG, count}};
  const size_t mismatches = run_steps(rank, size, steps);
  qor_finalize();
  return mismatches == 0 ? 0 : 1;
}
