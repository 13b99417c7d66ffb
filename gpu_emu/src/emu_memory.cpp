// Device memory the host cannot touch.  Each device allocation is an address
// range mapped without access rights, so a host read or write of it (MPI
// sending from a device buffer, say) faults as it does on a GPU.  Its bytes
// live in a second mapping, the alias, that only the emulation uses: every
// emulated call translates the device pointers it is given.  Released
// ranges stay unmapped-for-access for a while, so that a use after free
// faults too instead of reading reused memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "emu_state.h"

namespace qoremu {
namespace {

// Fresh device memory is filled with this byte: as float or binary16 it reads
// as NaN, so code that forgets to initialise a buffer shows up in results.
constexpr unsigned char fresh_device_byte = 0xff;
// cudaMalloc guarantees at least 256-byte alignment; pinned memory gets the
// same so that code shared with the kernels may rely on it for vector loads.
constexpr size_t allocation_alignment = 256;
// How many released device ranges stay reserved before the oldest is
// returned to the system.
constexpr size_t quarantine_length = 1024;

struct region {
  size_t size;    // bytes asked for
  size_t mapped;  // bytes mapped, whole pages
  char* alias;    // nullptr for pinned host memory
  int device;     // visible device (device memory only)
  memory_kind kind;
};

std::mutex memory_mutex;
// Live allocations by start address; device and pinned host alike.
std::map<uintptr_t, region>& regions() {
  static auto* table = new std::map<uintptr_t, region>();
  return *table;
}
// Released device ranges, oldest first: start and mapped length.
std::deque<std::pair<uintptr_t, size_t>>& quarantine() {
  static auto* list = new std::deque<std::pair<uintptr_t, size_t>>();
  return *list;
}

qoremu::counter counter_of(memory_kind kind) {
  return kind == memory_kind::device ? counter::device_allocations : counter::host_allocations;
}

size_t whole_pages(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// The live region containing ptr, or end().  Caller holds memory_mutex.
std::map<uintptr_t, region>::iterator containing(const void* ptr) {
  auto& table = regions();
  const auto address = reinterpret_cast<uintptr_t>(ptr);
  auto it = table.upper_bound(address);
  if (it == table.begin()) return table.end();
  --it;
  const size_t extent = it->second.size == 0 ? 1 : it->second.size;
  return address - it->first < extent ? it : table.end();
}

bool quarantined(uintptr_t address) {
  for (const auto& [start, length] : quarantine()) {
    if (address - start < length) return true;
  }
  return false;
}

void* map_device(size_t mapped, char** alias) {
  void* range =
      mmap(nullptr, mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED) return nullptr;
  void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) {
    munmap(range, mapped);
    return nullptr;
  }
  *alias = static_cast<char*>(data);
  return range;
}

}  // namespace

cudaError_t allocate(void** ptr, size_t size, memory_kind kind) {
  if (!ptr) return cudaErrorInvalidValue;
  *ptr = nullptr;
  if (size == 0) return cudaSuccess;
  if (size > SIZE_MAX / 2) return cudaErrorMemoryAllocation;
  region r{size, whole_pages(size), nullptr, current_device(), kind};
  void* memory = nullptr;
  if (kind == memory_kind::device) {
    memory = map_device(r.mapped, &r.alias);
    if (!memory) return cudaErrorMemoryAllocation;
    std::memset(r.alias, fresh_device_byte, size);
  } else if (posix_memalign(&memory, allocation_alignment, size) != 0) {
    return cudaErrorMemoryAllocation;
  }
  {
    std::lock_guard<std::mutex> lock(memory_mutex);
    regions().emplace(reinterpret_cast<uintptr_t>(memory), r);
  }
  count_up(counter_of(kind));
  *ptr = memory;
  return cudaSuccess;
}

namespace {

// Unmaps or frees a region taken out of the table.  Caller holds memory_mutex.
void dispose(uintptr_t start, const region& r) {
  if (r.kind == memory_kind::pinned_host) {
    std::free(reinterpret_cast<void*>(start));
  } else {
    munmap(r.alias, r.mapped);
    quarantine().emplace_back(start, r.mapped);
    if (quarantine().size() > quarantine_length) {
      munmap(reinterpret_cast<void*>(quarantine().front().first), quarantine().front().second);
      quarantine().pop_front();
    }
  }
  count_down(counter_of(r.kind));
}

}  // namespace

cudaError_t release(void* ptr, memory_kind kind) {
  if (!ptr) return cudaSuccess;
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = regions().find(reinterpret_cast<uintptr_t>(ptr));
  // Freeing with the wrong call, twice, or at an interior address is an
  // invalid argument, not a crash.
  if (it == regions().end() || it->second.kind != kind) return cudaErrorInvalidValue;
  const region r = it->second;
  regions().erase(it);
  dispose(reinterpret_cast<uintptr_t>(ptr), r);
  return cudaSuccess;
}

void release_device_memory(int device) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  for (auto it = regions().begin(); it != regions().end();) {
    if (it->second.kind == memory_kind::device && it->second.device == device) {
      dispose(it->first, it->second);
      it = regions().erase(it);
    } else {
      ++it;
    }
  }
}

location where(const void* ptr) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = containing(ptr);
  if (it != regions().end()) {
    return it->second.kind == memory_kind::device ? location::device : location::pinned_host;
  }
  return quarantined(reinterpret_cast<uintptr_t>(ptr)) ? location::freed_device : location::host;
}

void* device_view(const void* ptr, size_t bytes, int* device) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = containing(ptr);
  if (it == regions().end() || it->second.kind != memory_kind::device) {
    return bytes == 0 ? const_cast<void*>(ptr) : nullptr;
  }
  const size_t offset = reinterpret_cast<uintptr_t>(ptr) - it->first;
  if (bytes > it->second.size - offset) return nullptr;
  if (device) *device = it->second.device;
  return it->second.alias + offset;
}

}  // namespace qoremu
