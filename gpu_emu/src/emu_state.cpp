#include "emu_state.h"

#include <map>
#include <mutex>
#include <string>

#include "gpu_emu.h"

namespace qoremu {
namespace {

constexpr int counter_kinds = 5;
std::atomic<size_t> counters[counter_kinds];

struct injection {
  int skip;
  int error;
};

std::mutex injection_mutex;
std::map<std::string, injection>& injections() {
  static std::map<std::string, injection> table;
  return table;
}
// Calls made of each function, under the injection mutex.
std::map<std::string, size_t>& calls() {
  static std::map<std::string, size_t> table;
  return table;
}

}  // namespace

void count_up(counter c) { counters[static_cast<int>(c)].fetch_add(1); }
void count_down(counter c) { counters[static_cast<int>(c)].fetch_sub(1); }
size_t live(counter c) { return counters[static_cast<int>(c)].load(); }

int injected_failure(const char* function) {
  std::lock_guard<std::mutex> lock(injection_mutex);
  ++calls()[function];
  auto& table = injections();
  if (table.empty()) return 0;
  auto it = table.find(function);
  if (it == table.end()) return 0;
  if (it->second.skip > 0) {
    --it->second.skip;
    return 0;
  }
  int error = it->second.error;
  table.erase(it);
  return error;
}

}  // namespace qoremu

extern "C" {

size_t qoremu_live_device_allocations(void) { return qoremu::live(qoremu::counter::device_allocations); }
size_t qoremu_live_host_allocations(void) { return qoremu::live(qoremu::counter::host_allocations); }
size_t qoremu_live_streams(void) { return qoremu::live(qoremu::counter::streams); }
size_t qoremu_live_cublas_handles(void) { return qoremu::live(qoremu::counter::cublas_handles); }
size_t qoremu_live_nccl_comms(void) { return qoremu::live(qoremu::counter::nccl_comms); }

size_t qoremu_calls(const char* function) {
  std::lock_guard<std::mutex> lock(qoremu::injection_mutex);
  auto it = qoremu::calls().find(function);
  return it == qoremu::calls().end() ? 0 : it->second;
}

void qoremu_inject_failure(const char* function, int skip, int error) {
  std::lock_guard<std::mutex> lock(qoremu::injection_mutex);
  if (skip < 0) {
    qoremu::injections().clear();
    return;
  }
  qoremu::injections()[function] = qoremu::injection{skip, error};
}

}  // extern "C"
