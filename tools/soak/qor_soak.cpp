// qor_soak: long runs.  Under mpiexec, every process makes many allreduce
// calls of changing sizes (every third one asynchronous), checks each result
// against the host reference, and samples what a leak would grow: resident
// memory, open file descriptors and the host's shared-memory files.  Rank 0
// prints the samples, taken after a warm-up and then at every tenth of the
// run, with the largest growth over the processes.
//
// Usage: qor_soak calls legacy|nccl|mpiless GPU N [OPTIONS]
//        qor_soak cycles legacy|nccl|mpiless GPU N DIR
// "calls" makes N calls in one start of the library.  "cycles" starts the
// library N times, with a few calls each: in the MPI-less mode each cycle is
// a qor_init and a qor_finalize (MPI never runs; rank 0 hands each cycle's
// group identifier to the others through a file in DIR); the modes that
// start MPI, which can start only once in a process, make repeated starts
// (qor_init again) and finalize once.
#include <dirent.h>
#include <mpi.h>
#include <qor.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "start_text.h"
#include "sweep_data.h"

namespace {

using namespace qor_sweep;

int env_int(const char* name) {
  const char* text = std::getenv(name);
  return text ? std::atoi(text) : 0;
}

long entries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  long n = 0;
  while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

struct sample {
  long rss_kib = 0, fds = 0, shm = 0;
};

sample take_sample() {
  sample s;
  long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages >> resident;
  s.rss_kib = resident * (sysconf(_SC_PAGESIZE) / 1024);
  s.fds = entries("/proc/self/fd") - 1;  // less the one reading the folder
  s.shm = entries("/dev/shm");
  return s;
}

// A sequence of sizes that changes every call and repeats rarely: mostly
// small, now and then up to 2^20 elements.
size_t size_of_call(size_t k) {
  const uint64_t h = (k + 1) * 0x9E3779B97F4A7C15ull;
  const unsigned bits = static_cast<unsigned>((h >> 32) % 21);
  return static_cast<size_t>((h >> 11) & ((uint64_t{1} << bits) - 1)) + (k % 7 == 0 ? 0 : 1);
}
constexpr size_t max_count = size_t{1} << 20;

// Makes the checked calls.  Its own memory is taken once, for the largest
// call, so that what the samples see growing is the library's.
class caller {
 public:
  caller(bool gpu, int rank, int processes) : _gpu(gpu), _rank(rank), _processes(processes) {
    const layout largest{max_count, 4, false};
    _before.reserve(largest.bytes());
    _region.reserve(largest.bytes());
    _want.reserve(max_count);
  }
  ~caller() { release(); }
  caller(const caller&) = delete;
  caller& operator=(const caller&) = delete;

  void release() {
    if (_device) qor_free(_device);
    _device = nullptr;
  }

  // One checked call; false when it failed.  Adds its wrong elements to wrong.
  bool call(size_t k, size_t count, unsigned long long& wrong) {
    const layout l{count, k % 5, false};
    const uint64_t salt = 0xC0FFEEull + k;
    make_region(l, _rank, salt, 1024, _before);
    _region = _before;
    if (_gpu && !_device && qor_malloc(&_device, 256, layout{max_count, 4, false}.bytes()) == 1) return false;
    int status = QOR_FAILURE;
    if (!call_on_region(_region, l, _device, k % 3 == 2, false, status)) return false;
    _want.assign(count, 0.0);
    for (int r = 0; r < _processes; ++r) add_input(_want, r, salt, 1024);
    const verdict v = check_region(_region, l, _want, 1.0f, _before);
    wrong += v.wrong + v.guards;
    return status == QOR_SUCCESS;
  }

 private:
  bool _gpu;
  int _rank, _processes;
  void* _device = nullptr;
  std::vector<unsigned char> _before, _region;
  std::vector<double> _want;
};

// The start text of this process (its device: its rank on the host, as
// the launcher tells it).
std::string start(const std::string& mode, bool gpu, const std::string& options, int rank, int processes,
                  const std::string& group_id) {
  const std::string cpu = mode == "legacy" ? (gpu ? "-cpu_only 0 " : "-cpu_only 1 ") : "";
  return qor_tools::start_text(mode, cpu + options, rank, processes, env_int("OMPI_COMM_WORLD_LOCAL_RANK"), group_id);
}

// Rank 0's group identifier of a cycle, handed over through a file (the
// MPI-less mode has no other channel; a job would use its own).
std::string group_id(int rank, int processes, const std::string& dir, int cycle, bool through_mpi) {
  if (through_mpi) return qor_tools::shared_group_id(rank);
  char id[173] = {0};
  if (rank == 0 && qor_generate_group_id(id) != QOR_SUCCESS) id[0] = 0;
  if (processes == 1) return id;
  const std::string path = dir + "/id." + std::to_string(cycle);
  if (rank == 0) {
    std::ofstream(path + ".tmp") << id;
    std::rename((path + ".tmp").c_str(), path.c_str());
    return id;
  }
  std::string text;
  for (int tries = 0; tries < 60000 && text.size() != 172; ++tries) {
    std::ifstream in(path);
    if (!(in >> text)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return text;
}

void print_sample(const char* when, size_t calls, const sample& mine, int rank, bool mpi) {
  long values[3] = {mine.rss_kib, mine.fds, mine.shm}, most[3] = {values[0], values[1], values[2]};
  if (mpi) MPI_Reduce(values, most, 3, MPI_LONG, MPI_MAX, 0, MPI_COMM_WORLD);
  if (rank == 0)
    std::printf("%-10s %8zu calls  rss %8ld KiB  fds %4ld  /dev/shm %4ld   (rank 0; largest rss %ld KiB, fds %ld)\n",
                when, calls, mine.rss_kib, mine.fds, mine.shm, most[0], most[1]);
  std::fflush(stdout);
}

int run(const std::vector<std::string>& a) {
  const bool cycles = a[0] == "cycles";
  const std::string mode = a[1];
  const bool gpu = std::atoi(a[2].c_str()) != 0;
  const long n = std::atol(a[3].c_str());
  const std::string extra = a.size() > 4 && !cycles ? a[4] : "";
  const std::string dir = cycles && a.size() > 4 ? a[4] : "/tmp";
  const bool mpi = !(cycles && mode == "mpiless");
  int rank = env_int("OMPI_COMM_WORLD_RANK"), processes = std::max(1, env_int("OMPI_COMM_WORLD_SIZE"));
  if (mpi) {
    int provided = 0;
    MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided);
  }
  const auto gid = [&](int cycle) { return mode == "mpiless" ? group_id(rank, processes, dir, cycle, mpi) : ""; };
  if (qor_init(start(mode, gpu, extra, rank, processes, gid(0)).c_str()) != QOR_SUCCESS) return 1;
  unsigned long long wrong = 0;
  size_t failed = 0, done = 0;
  const size_t warmup = cycles ? 1 : std::min<size_t>(1000, static_cast<size_t>(n) / 10);
  caller c(gpu, rank, processes);
  const auto step = [&](size_t k) {
    failed += !c.call(k, size_of_call(k), wrong);
    ++done;
  };
  if (!cycles) {
    for (size_t k = 0; k < warmup; ++k) step(k);
    print_sample("warm", done, take_sample(), rank, mpi);
    for (size_t k = warmup; k < static_cast<size_t>(n); ++k) {
      step(k);
      if ((k + 1) % (static_cast<size_t>(n) / 10) == 0) print_sample("run", done, take_sample(), rank, mpi);
    }
  } else {
    for (long cycle = 0; cycle < n; ++cycle) {
      if (cycle > 0) {
        c.release();  // memory of the library goes back before it stops
        if (!mpi && qor_finalize() != QOR_SUCCESS) ++failed;
        if (qor_init(start(mode, gpu, extra, rank, processes, gid(static_cast<int>(cycle))).c_str()) !=
            QOR_SUCCESS)
          return 1;
      }
      for (size_t k = 0; k < 3; ++k) step(static_cast<size_t>(cycle) * 3 + k);
      if (cycle == 0 || (cycle + 1) % std::max(1L, n / 5) == 0)
        print_sample(cycle == 0 ? "first" : "cycle", static_cast<size_t>(cycle + 1), take_sample(), rank, mpi);
    }
  }
  c.release();
  unsigned long long totals[2] = {wrong, failed}, sum[2] = {wrong, failed};
  if (mpi) MPI_Reduce(totals, sum, 2, MPI_UNSIGNED_LONG_LONG, MPI_SUM, 0, MPI_COMM_WORLD);
  if (rank == 0)
    std::printf("soak %s %s %s: %zu calls, %llu wrong elements, %llu failed calls\n", a[0].c_str(), mode.c_str(),
                gpu ? "gpu" : "host", done, sum[0], sum[1]);
  const bool finalized = qor_finalize() == QOR_SUCCESS;
  int stopped = 1;
  if (mpi) MPI_Finalized(&stopped);
  if (!stopped) MPI_Finalize();
  if (cycles && !mpi && rank == 0) print_sample("finalized", static_cast<size_t>(n), take_sample(), rank, false);
  return finalized && sum[0] == 0 && sum[1] == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() < 4 || (a[0] != "calls" && a[0] != "cycles")) {
    std::fprintf(stderr, "usage: qor_soak calls|cycles legacy|nccl|mpiless GPU N [OPTIONS|DIR]\n");
    return 2;
  }
  return run(a);
}
