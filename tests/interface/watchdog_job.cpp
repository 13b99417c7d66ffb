// One process of a job that hangs: rank 1 stops (or kills) itself right
// before the allreduce that the others enter, so that only their watchdog
// can end the job; with NONE, nobody stops and the job ends normally.
// watchdog_job <legacy|shm|nccl|mpiless> <STOP|KILL|NONE> <group id>;
// without arguments it prints a group identifier.  Rank and size come from
// OMPI_COMM_WORLD_RANK/SIZE; each process writes its pid to $WD_DIR/pid.<rank>.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "qor.h"

int main(int argc, char** argv) {
  char id[173];
  if (argc < 4) return qor_generate_group_id(id) == QOR_SUCCESS && std::puts(id) >= 0 ? 0 : 2;
  const std::string mode = argv[1], me = std::getenv("OMPI_COMM_WORLD_RANK");
  std::ofstream(std::string(std::getenv("WD_DIR")) + "/pid." + me) << getpid() << std::endl;
  std::string text = mode == "legacy" ? "-qor_legacy_allreduce 1 -cpu_only 1 " : "";
  if (mode == "shm") text = "-qor_legacy_allreduce 1 -cpu_only 1 -mode s ";
  if (mode == "mpiless") {
    text = "-qor_worker_count " + std::string(std::getenv("OMPI_COMM_WORLD_SIZE")) + " -qor_worker_index " +
           me + " -qor_device_index " + me + " -qor_group_id " + argv[3] + " ";
  }
  if (const char* extra = std::getenv("WD_OPTIONS")) text += extra;
  void* buf = nullptr;
  if (qor_init(text.c_str()) != QOR_SUCCESS || qor_malloc(&buf, 256, 4000) != 4096) return 3;
  const std::string how = argv[2];
  if (how == "NONE") {
    std::memset(buf, 0, 4000);
    static_cast<float*>(buf)[999] = 1.0f;
    const int status = qor_allreduce(buf, 1000, QOR_FLOAT, QOR_SUM);
    const float sum = static_cast<float*>(buf)[999];
    qor_free(buf);
    int n = 0;
    qor_size(&n);
    return status + qor_finalize() + (sum == static_cast<float>(n) ? 0 : 5);
  }
  // The shared-memory channel is made by the first call, collectively: the
  // stop comes in a later one, where the others wait on rank 1's flags.
  if (mode == "shm" && qor_allreduce(buf, 1000, QOR_FLOAT, QOR_SUM) != QOR_SUCCESS) return 3;
  if (me == "1") raise(how == "KILL" ? SIGKILL : SIGSTOP);
  if (std::getenv("WD_ASYNC")) return qor_allreduce_async(buf, 1000, QOR_FLOAT, QOR_SUM) + qor_wait();
  return qor_allreduce(buf, 1000, QOR_FLOAT, QOR_SUM) + 4;
}
