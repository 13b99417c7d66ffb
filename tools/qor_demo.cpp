// The main job: every process of an MPI job sums float and half buffers with
// libqor in the default start mode, checks the result against a reference
// computed on the host, and reports how long each allreduce took.
//
//   mpiexec -n 4 qor_demo [elements]
//   mpiexec -n 4 qor_demo --legacy    start and end of the legacy engine mode
//                                     in host-CPU mode, with its start-up lines
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
    if constexpr (sizeof(T) == 4) host[i] = input_value(rank, i);
    else host[i] = __float2half(input_value(rank, i));
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
    if constexpr (sizeof(T) == 4) got = host[i];
    else got = __half2float(host[i]);
    // Half averages may differ by the rounding of the scaled value.
    float tolerance = sizeof(T) == 4 ? 0.0f : std::ldexp(std::fabs(want), -10);
    if (std::fabs(got - want) > tolerance) ++mismatches;
  }
  return {mismatches, seconds};
}

}  // namespace

// Builds the hardware layer of the legacy engine mode on the host (2x2 grid
// when there are four processes) and releases it again.
int legacy_start_and_end(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int size = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::string options = "-qor_legacy_allreduce 1 -cpu_only 1 -dbg_level 2";
  if (size == 4) options += " -mode r:2x2";
  QOR_Status status = qor_init(options.c_str());
  int rank = 0;
  qor_rank(&rank);
  int device = 0;
  qor_get_key_value(QOR_KEY_DEVICE, &device);
  if (rank == 0) {
    std::printf("legacy engine mode with \"%s\": %s on %d processes, device %d\n",
                options.c_str(), status == QOR_SUCCESS ? "started" : "FAILED", size, device);
  }
  QOR_Status end = qor_finalize();
  if (rank == 0) std::printf("legacy engine mode: %s\n", end == QOR_SUCCESS ? "finalized" : "FAILED");
  return status == QOR_SUCCESS && end == QOR_SUCCESS ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--legacy") return legacy_start_and_end(argc, argv);
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  if (qor_init("") != QOR_SUCCESS) {
    std::fprintf(stderr, "qor_init failed\n");
    return 1;
  }
  int rank = 0;
  int size = 0;
  qor_rank(&rank);
  qor_size(&size);

  struct step {
    const char* name;
    QOR_Type type;
    QOR_Op op;
  };
  const step steps[] = {{"float sum", QOR_FLOAT, QOR_SUM},
                        {"float avg", QOR_FLOAT, QOR_AVG},
                        {"half  sum", QOR_HALF, QOR_SUM},
                        {"half  avg", QOR_HALF, QOR_AVG}};
  size_t total_mismatches = 0;
  for (const step& s : steps) {
    run_result r = s.type == QOR_FLOAT ? run<float>(rank, size, count, s.type, s.op)
                                       : run<__half>(rank, size, count, s.type, s.op);
    total_mismatches += r.mismatches;
    if (rank == 0 || r.mismatches != 0) {
      std::printf("rank %d of %d: %s of %zu elements: %s, %.6f s\n", rank, size, s.name, count,
                  r.mismatches == 0 ? "matches the reference" : "MISMATCH", r.seconds);
    }
  }
  std::fflush(stdout);
  qor_finalize();
  return total_mismatches == 0 ? 0 : 1;
}
