// Devices as a process sees them: how many, which physical device each
// visible one is, the current device of each thread, and the rules that
// every device call checks first.
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu_state.h"

namespace qoremu {
namespace {

constexpr int default_device_count = 8;

thread_local int current = 0;
thread_local cudaError_t last = cudaSuccess;

// The process that first used the runtime.  A child forked after that has
// a copy of the parent's state but no device context of its own.
std::atomic<pid_t> initialised_by{0};

int physical_count() {
  const char* text = std::getenv("QOR_EMU_DEVICE_COUNT");
  if (!text || !*text) return default_device_count;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  // Anything but a plain non-negative number falls back to the default.
  if (errno != 0 || *end != '\0' || value < 0 || value > INT_MAX) return default_device_count;
  return static_cast<int>(value);
}

// Physical ordinals this process sees, in visible order.  Like the runtime,
// the list ends at the first entry that is not a device ordinal, and a
// device listed twice makes the whole list invalid.
std::vector<int> visible_devices() {
  const int physical = physical_count();
  std::vector<int> devices;
  const char* text = std::getenv("CUDA_VISIBLE_DEVICES");
  if (!text) {
    for (int d = 0; d < physical; ++d) devices.push_back(d);
    return devices;
  }
  std::string list(text);
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string entry = list.substr(start, comma - start);
    char* end = nullptr;
    long value = std::strtol(entry.c_str(), &end, 10);
    if (entry.empty() || *end != '\0' || value < 0 || value >= physical) break;
    for (int seen : devices) {
      if (seen == value) return {};
    }
    devices.push_back(static_cast<int>(value));
    start = comma + 1;
  }
  return devices;
}

}  // namespace

int device_count() { return static_cast<int>(visible_devices().size()); }

int physical_device(int device) {
  const std::vector<int> devices = visible_devices();
  if (device < 0 || device >= static_cast<int>(devices.size())) return -1;
  return devices[static_cast<size_t>(device)];
}

cudaError_t finish(cudaError_t error) {
  if (error != cudaSuccess) last = error;
  return error;
}

cudaError_t last_error(bool clear) {
  cudaError_t error = last;
  if (clear) last = cudaSuccess;
  return error;
}

int current_device() { return current; }
void set_current_device(int device) { current = device; }

cudaError_t enter(const char* function) {
  if (int injected = injected_failure(function)) return static_cast<cudaError_t>(injected);
  const pid_t me = getpid();
  const pid_t first = initialised_by.load();
  if (first != 0 && first != me) return cudaErrorInitializationError;
  if (device_count() == 0) return cudaErrorInsufficientDriver;
  if (first == 0) initialised_by.store(me);
  return cudaSuccess;
}

}  // namespace qoremu
