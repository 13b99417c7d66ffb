// Records NCCL_RINGS as each ncclCommInitRank call saw it, so that tests can
// check which ring order a communicator was made with.
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "emu_state.h"
#include "gpu_emu.h"

namespace {

std::mutex rings_mutex;
std::vector<std::string>& rings_log() {
  static std::vector<std::string> log;
  return log;
}

}  // namespace

namespace qoremu {

void record_nccl_rings() {
  const char* value = std::getenv("NCCL_RINGS");
  std::lock_guard<std::mutex> lock(rings_mutex);
  rings_log().emplace_back(value ? value : "");
}

}  // namespace qoremu

extern "C" {

size_t qoremu_nccl_rings_count(void) {
  std::lock_guard<std::mutex> lock(rings_mutex);
  return rings_log().size();
}

const char* qoremu_nccl_rings_at(size_t index) {
  std::lock_guard<std::mutex> lock(rings_mutex);
  return index < rings_log().size() ? rings_log()[index].c_str() : nullptr;
}

void qoremu_nccl_rings_clear(void) {
  std::lock_guard<std::mutex> lock(rings_mutex);
  rings_log().clear();
}

}  // extern "C"
