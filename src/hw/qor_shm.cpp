#include "qor_shm.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "qor_check.h"
#include "qor_exception.h"

namespace qor {
namespace network {

namespace {

constexpr size_t cache_line = 64;

size_t page_bytes() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

size_t round_up(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

// MPI aligns a part on less than a page (less than a cache line, too, in
// some builds); a part is used from its first page boundary on, the same
// memory in every process's mapping, since mappings start on pages.
char* start_of_part(char* part) {
  if (part == nullptr) return nullptr;
  const uintptr_t at = reinterpret_cast<uintptr_t>(part);
  return part + (round_up(at, page_bytes()) - at);
}

}  // namespace

shm_window::shm_window(MPI_Comm comm, size_t bytes) {
  int size = 0;
  QOR_CHECK_MPI(MPI_Comm_size(comm, &size));
  QOR_CHECK_MPI(MPI_Comm_rank(comm, &_rank));
  MPI_Info info = MPI_INFO_NULL;
  QOR_CHECK_MPI(MPI_Info_create(&info));
  // Each part on pages of its own, placed near the process that writes it.
  MPI_Info_set(info, "alloc_shared_noncontig", "true");
  void* own = nullptr;
  const size_t asked = bytes > 0 ? bytes + page_bytes() : 0;
  const int code = MPI_Win_allocate_shared(static_cast<MPI_Aint>(asked), 1, info, comm, &own, &_win);
  MPI_Info_free(&info);
  QOR_CHECK_MPI(code);
  _bytes = bytes;
  _bases.resize(static_cast<size_t>(size));
  for (int r = 0; r < size; ++r) {
    MPI_Aint part = 0;
    int unit = 0;
    void* base = nullptr;
    const int query = MPI_Win_shared_query(_win, r, &part, &unit, &base);
    if (query != MPI_SUCCESS) {
      release();
      raise_mpi(__FILE__, __LINE__, query);
    }
    _bases[static_cast<size_t>(r)] = start_of_part(static_cast<char*>(base));
  }
}

shm_window::~shm_window() { release(); }

shm_window::shm_window(shm_window&& other) noexcept { *this = std::move(other); }

shm_window& shm_window::operator=(shm_window&& other) noexcept {
  if (this != &other) {
    release();
    std::swap(_win, other._win);
    std::swap(_rank, other._rank);
    std::swap(_bytes, other._bytes);
    std::swap(_bases, other._bases);
  }
  return *this;
}

void shm_window::release() {
  // After MPI_Finalize every MPI call aborts: the mapping went with MPI.
  if (_win != MPI_WIN_NULL && mpi_running()) MPI_Win_free(&_win);
  _win = MPI_WIN_NULL;
  _bytes = 0;
  _bases.clear();
}

shm_pool::shm_pool(MPI_Comm host, size_t bytes) {
  QOR_CHECK_MPI(MPI_Comm_dup(host, &_comm));
  try {
    _window = shm_window(_comm, round_up(bytes, page_bytes()));
  } catch (...) {
    free_communicator(&_comm);
    throw;
  }
  if (_window.bytes() > 0) _free[0] = _window.bytes();
}

shm_pool::~shm_pool() {
  _window = shm_window();
  free_communicator(&_comm);
}

void* shm_pool::allocate(size_t bytes, size_t align) {
  // Larger than the whole part: refused before the rounding below could wrap.
  if (bytes > _window.bytes()) return nullptr;
  const bool power_of_two = align != 0 && (align & (align - 1)) == 0;
  const size_t unit = power_of_two && align <= page_bytes() ? std::max(align, cache_line) : cache_line;
  const size_t length = round_up(std::max<size_t>(bytes, 1), cache_line);
  const uintptr_t base = reinterpret_cast<uintptr_t>(_window.own());
  std::lock_guard<std::mutex> hold(_lock);
  for (auto it = _free.begin(); it != _free.end(); ++it) {
    const size_t first = it->first;
    const size_t end = first + it->second;
    const size_t start = round_up(base + first, unit) - base;
    if (start + length > end) continue;
    _free.erase(it);
    if (start + length < end) _free[start + length] = end - start - length;
    _used[start] = {first, start + length};
    return _window.own() + start;
  }
  return nullptr;
}

bool shm_pool::release(void* ptr) {
  if (ptr == nullptr || !holds(ptr, 0)) return false;
  std::lock_guard<std::mutex> hold(_lock);
  auto used = _used.find(offset_of(ptr));
  if (used == _used.end()) return false;
  size_t first = used->second.first;
  size_t end = used->second.second;
  _used.erase(used);
  // Joined with the free neighbours on both sides.
  auto next = _free.lower_bound(first);
  if (next != _free.end() && next->first == end) {
    end += next->second;
    next = _free.erase(next);
  }
  if (next != _free.begin()) {
    auto before = std::prev(next);
    if (before->first + before->second == first) {
      first = before->first;
      _free.erase(before);
    }
  }
  _free[first] = end - first;
  return true;
}

bool shm_pool::holds(const void* ptr, size_t bytes) const {
  const char* p = static_cast<const char*>(ptr);
  const char* own = _window.own();
  return own != nullptr && p >= own && static_cast<size_t>(p - own) <= _window.bytes() &&
         bytes <= _window.bytes() - static_cast<size_t>(p - own);
}

size_t shm_pool::bytes_free() const {
  std::lock_guard<std::mutex> hold(_lock);
  size_t total = 0;
  for (const auto& block : _free) total += block.second;
  return total;
}

shm_channel::shm_channel(MPI_Comm comm, const shm_pool* pool, int host_processes) : _comm(comm), _pool(pool) {
  if (host_processes > sysconf(_SC_NPROCESSORS_ONLN)) _spins = 0;
  int size = 0;
  QOR_CHECK_MPI(MPI_Comm_size(comm, &size));
  // Zero copy needs every peer's pool part mapped here: the dimension's
  // processes must all be in the pool's communicator, on every process.
  int readable = 0;
  if (pool != nullptr) {
    MPI_Group mine = MPI_GROUP_NULL;
    MPI_Group pools = MPI_GROUP_NULL;
    QOR_CHECK_MPI(MPI_Comm_group(comm, &mine));
    QOR_CHECK_MPI(MPI_Comm_group(pool->comm(), &pools));
    std::vector<int> ranks(static_cast<size_t>(size));
    for (int r = 0; r < size; ++r) ranks[static_cast<size_t>(r)] = r;
    _pool_rank.resize(static_cast<size_t>(size));
    const int code = MPI_Group_translate_ranks(mine, size, ranks.data(), pools, _pool_rank.data());
    MPI_Group_free(&mine);
    MPI_Group_free(&pools);
    QOR_CHECK_MPI(code);
    readable = std::none_of(_pool_rank.begin(), _pool_rank.end(), [](int r) { return r == MPI_UNDEFINED; });
  }
  int everywhere = 0;
  QOR_CHECK_MPI(MPI_Allreduce(&readable, &everywhere, 1, MPI_INT, MPI_LAND, comm));
  if (!everywhere) _pool = nullptr;
  _control = shm_window(comm, round_up(sizeof(shm_control), page_bytes()));
  new (_control.own()) shm_control();
  // Every control block is initialised before any process reads a peer's.
  QOR_CHECK_MPI(MPI_Barrier(comm));
}

void shm_channel::reserve(size_t bytes) {
  if (_area_bytes > 0 && bytes <= _area_bytes) return;
  // With headroom, so that a buffer growing a little at a time does not
  // make a new window every call; a page at least, so that every slot has
  // an address.
  const size_t area = round_up(std::max<size_t>(bytes + bytes / 4, 1), page_bytes());
  // The round spans a few times the second-level cache: what a peer read
  // that long ago is no longer in its cache.
  const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
  const size_t round = 4 * (l2 > 0 ? static_cast<size_t>(l2) : size_t{1} << 20);
  uint64_t areas = std::min<uint64_t>(64, std::max<uint64_t>(1, (round + area - 1) / area));
  // Every page is touched now, so that no call pays for its first use; a
  // page the file system cannot back would kill the process that touches
  // it, so the round shrinks to what the file system holds for every
  // process of the dimension, and a slot that does not fit is refused.
  int size = 0;
  QOR_CHECK_MPI(MPI_Comm_size(_comm, &size));
  const size_t room = shm_bytes_free() / static_cast<size_t>(size);
  while (areas > 1 && 2 * areas * area > room) --areas;
  unsigned long long mine[2] = {areas, 2 * areas * area <= room ? 1ull : 0ull}, all[2] = {0, 0};
  QOR_CHECK_MPI(MPI_Allreduce(mine, all, 2, MPI_UNSIGNED_LONG_LONG, MPI_MIN, _comm));
  if (all[1] == 0) {
    int rank = 0;
    MPI_Comm_rank(_comm, &rank);
    QOR_REFUSE(rank, "SHM needs " + std::to_string(2 * area) + " bytes of shared memory per process for a segment of " +
                         std::to_string(bytes) + " bytes; /dev/shm has " + std::to_string(shm_bytes_free()) +
                         " free for " + std::to_string(size) + " processes");
  }
  areas = all[0];
  _slots = shm_window();
  _slots = shm_window(_comm, 2 * areas * area);
  std::memset(_slots.own(), 0, _slots.bytes());
  for (int r = 0; r < size; ++r) {
    const volatile char* peer = _slots.base(r);
    for (size_t at = 0; peer != nullptr && at < _slots.bytes(); at += page_bytes()) (void)peer[at];
  }
  _area_bytes = area;
  _areas = areas;
}

size_t shm_bytes_free() {
  struct statvfs fs;
  if (statvfs("/dev/shm", &fs) != 0) return SIZE_MAX;
  return static_cast<size_t>(fs.f_bavail) * fs.f_frsize;
}

const char* shm_channel::resolve(int rank, const shm_place& place, bool reduce_scatter, uint64_t run) const {
  if (place.in_pool.load(std::memory_order_relaxed) != 0 && _pool != nullptr) {
    return _pool->base(_pool_rank[static_cast<size_t>(rank)]) + place.offset.load(std::memory_order_relaxed);
  }
  return (reduce_scatter ? rs_slot(rank) : ag_slot(rank)) + area_offset(run);
}

}  // namespace network
}  // namespace qor
