// qor_sweep: one case of the randomized sweep (tools/sweep/sweep.py draws
// them).  Under mpiexec, every process starts the library in the given mode
// with the given option text, then makes the given calls, each on a buffer of
// its own size, type, operation and offset, with guard elements around it,
// and checks every element against a host reference.  Rank 0 prints one line
// per call:
//   call K count=N status=ok|failed|mixed wrong=W guards=G intact=0|1
// (wrong and guards summed over the processes; intact: the whole region is
// as it was on every process, which a refused call must leave).
//
// Usage: qor_sweep legacy|nccl|mpiless GPU OPTIONS CALL...
//   GPU      1: a device per process (legacy: -cpu_only 0), 0: host-CPU
//   CALL     count:f|h:s|a:SYNC:OFFSET  (float or half, sum or average,
//            SYNC 1 for qor_allreduce_async + qor_wait, OFFSET elements of
//            slack before the guards, so buffers start anywhere)
// Environment: QOR_SWEEP_PER_HOST=k makes every k consecutive ranks pretend
// to be a host of their own, each with a device of its own.
#include <cuda_runtime.h>
#include <mpi.h>
#include <qor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "start_text.h"
#include "sweep_data.h"

extern int qor_iter;  // the interface's call counter: which calls are held back

namespace {

using namespace qor_sweep;

int per_host = 0;
int world_rank = 0;

}  // namespace

extern "C" {
int __real_MPI_Comm_split_type(MPI_Comm, int, int, MPI_Info, MPI_Comm*);
int __wrap_MPI_Comm_split_type(MPI_Comm comm, int type, int key, MPI_Info info, MPI_Comm* out) {
  if (type == MPI_COMM_TYPE_SHARED && per_host > 0) return MPI_Comm_split(comm, world_rank / per_host, key, out);
  return __real_MPI_Comm_split_type(comm, type, key, info, out);
}
}  // extern "C"

namespace {

struct call {
  size_t count = 0;
  bool half = false;
  bool average = false;
  bool async = false;
  size_t offset = 0;
};

bool parse_call(const char* text, call& c) {
  unsigned long long count = 0, offset = 0;
  char type = 0, op = 0;
  int async = 0, used = 0;
  if (std::sscanf(text, "%llu:%c:%c:%d:%llu%n", &count, &type, &op, &async, &offset, &used) != 5 ||
      text[used] != '\0' || (type != 'f' && type != 'h') || (op != 's' && op != 'a'))
    return false;
  c = {count, type == 'h', op == 'a', async != 0, offset};
  return true;
}

// The number an option text gives `key` (the last item wins), 0 without it.
double option_value(const std::string& options, const std::string& key) {
  const size_t at = options.rfind("-" + key + " ");
  return at == std::string::npos ? 0.0 : std::strtod(options.c_str() + at + key.size() + 2, nullptr);
}

int run(int argc, char** argv) {
  const std::string mode = argv[1];
  const bool gpu = std::atoi(argv[2]) != 0;
  const std::string options = argv[3];
  std::vector<call> calls;
  for (int k = 4; k < argc; ++k) {
    call c;
    if (!parse_call(argv[k], c)) {
      std::fprintf(stderr, "qor_sweep: bad call %s\n", argv[k]);
      return 2;
    }
    calls.push_back(c);
  }
  int provided = 0, processes = 1;
  MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &world_rank);
  MPI_Comm_size(MPI_COMM_WORLD, &processes);
  const bool mpiless = mode == "mpiless";
  const std::string cpu = mode == "legacy" ? (gpu ? "-cpu_only 0 " : "-cpu_only 1 ") : "";
  const std::string text = qor_tools::start_text(mode, cpu + options, world_rank,
                                                 processes, mpiless ? qor_tools::host_device() : 0,
                                                 mpiless ? qor_tools::shared_group_id(world_rank) : "");
  int started = qor_init(text.c_str()) == QOR_SUCCESS ? 1 : 0, all_started = 0;
  MPI_Allreduce(&started, &all_started, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (world_rank == 0) std::printf("init status=%s\n", all_started ? "ok" : "failed");
  const bool engine = mode == "legacy";
  const long comm_iter = engine ? static_cast<long>(option_value(options, "comm_iter")) : 0;
  // Packed buffers travel as halves: their sums must stay exact there too.
  const bool packed = engine && gpu && option_value(options, "pack") > 0;
  const uint64_t held = comm_iter > 1 ? static_cast<uint64_t>(comm_iter) : 1;
  std::vector<double> residue;  // this process's view of every process's held-back inputs
  for (size_t k = 0; all_started && k < calls.size(); ++k) {
    const call& c = calls[k];
    layout l{c.count, c.offset, c.half};
    const uint64_t range = c.half || packed ? std::max<uint64_t>(1, 2048 / (processes * held)) : 1024;
    const uint64_t salt = 0x5EEDull * (k + 1);
    std::vector<unsigned char> before;
    make_region(l, world_rank, salt, range, before);
    std::vector<unsigned char> region = before;
    void* device = nullptr;
    int status = QOR_FAILURE;
    // On the host, every other call takes the library's memory, which the
    // shared-memory algorithm reads where it lies.
    const bool library_memory = gpu || k % 2 == 1;
    bool good = !library_memory || qor_malloc(&device, 256, l.bytes()) != 1;
    const int iter = qor_iter + 1;
    good = good && call_on_region(region, l, device, c.async, c.average, status);
    if (device) qor_free(device);
    // What the library should have returned: for a call held back, zeros
    // (its input joins the residue); otherwise the sum over the processes
    // of the input and of everything held back since the last sum.
    std::vector<double> want(c.count, 0.0);
    if (residue.size() != c.count) residue.assign(c.count, 0.0);
    const bool held_back = comm_iter > 0 && status == QOR_SUCCESS && iter % comm_iter != 0;
    for (int r = 0; r < processes; ++r) add_input(held_back ? residue : want, r, salt, range);
    if (!held_back && comm_iter > 0) {
      for (size_t i = 0; i < c.count; ++i) want[i] += residue[i];
      residue.assign(c.count, 0.0);
    }
    const float scale = c.average ? static_cast<float>(1.0 / processes) : 1.0f;
    const verdict v = check_region(region, l, want, scale, before);
    unsigned long long mine[5] = {v.wrong, v.guards, region == before ? 0ull : 1ull,
                                  status == QOR_SUCCESS ? 0ull : 1ull, good ? 0ull : 1ull};
    unsigned long long sum[5] = {0, 0, 0, 0, 0};
    MPI_Allreduce(mine, sum, 5, MPI_UNSIGNED_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
    if (world_rank == 0) {
      const char* agreed = sum[3] == 0 ? "ok" : sum[3] == static_cast<unsigned long long>(processes) ? "failed" : "mixed";
      std::printf("call %zu count=%zu status=%s wrong=%llu guards=%llu intact=%d harness=%llu\n", k, c.count, agreed,
                  sum[0], sum[1], sum[2] == 0 ? 1 : 0, sum[4]);
      std::fflush(stdout);
    }
  }
  const bool finalized = qor_finalize() == QOR_SUCCESS;
  int stopped = 0;
  MPI_Finalized(&stopped);
  if (!stopped) MPI_Finalize();
  if (world_rank == 0) std::printf("finalize status=%s\n", finalized ? "ok" : "failed");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: qor_sweep legacy|nccl|mpiless GPU OPTIONS CALL...\n");
    return 2;
  }
  const char* split = std::getenv("QOR_SWEEP_PER_HOST");
  per_host = split ? std::atoi(split) : 0;
  const char* rank = std::getenv("OMPI_COMM_WORLD_RANK");
  // A pretended host has a device of its own, as a scheduler would arrange.
  if (per_host > 0 && rank) setenv("CUDA_VISIBLE_DEVICES", rank, 1);
  return run(argc, argv);
}
