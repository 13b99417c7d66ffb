// One process of a job that hangs: rank 1 stops (or kills) itself right
// before the allreduce that the others enter, so that only their watchdog
// can end the job.  watchdog_job <legacy|nccl|mpiless> <STOP|KILL> <group id>;
// without arguments it prints a group identifier.  Rank and size come from
// OMPI_COMM_WORLD_RANK/SIZE; each process writes its pid to $WD_DIR/pid.<rank>.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "qor.h"

int main(int argc, char** argv) {
  char id[173];
  if (argc < 4) return qor_generate_group_id(id) == QOR_SUCCESS && std::puts(id) >= 0 ? 0 : 2;
  const std::string mode = argv[1], me = std::getenv("OMPI_COMM_WORLD_RANK");
  std::ofstream(std::string(std::getenv("WD_DIR")) + "/pid." + me) << getpid() << std::endl;
  std::string text = mode == "legacy" ? "-qor_legacy_allreduce 1 -cpu_only 1 " : "";
  if (mode == "mpiless") {
    text = "-qor_worker_count " + std::string(std::getenv("OMPI_COMM_WORLD_SIZE")) + " -qor_worker_index " +
           me + " -qor_device_index " + me + " -qor_group_id " + argv[3] + " ";
  }
  if (const char* extra = std::getenv("WD_OPTIONS")) text += extra;
  void* buf = nullptr;
  if (qor_init(text.c_str()) != QOR_SUCCESS || qor_malloc(&buf, 256, 4000) != 4096) return 3;
  if (me == "1") raise(std::string(argv[2]) == "KILL" ? SIGKILL : SIGSTOP);
  if (std::getenv("WD_ASYNC")) return qor_allreduce_async(buf, 1000, QOR_FLOAT, QOR_SUM) + qor_wait();
  return qor_allreduce(buf, 1000, QOR_FLOAT, QOR_SUM) + 4;
}
