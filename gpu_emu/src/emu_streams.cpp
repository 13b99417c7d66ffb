// Streams whose work really runs later.  Work queued on a stream waits in
// one process-wide list until a synchronisation needs it: a missing
// synchronisation then reads stale data, the same way on every run.  What a
// synchronisation runs follows the runtime's ordering rules (see drain()).
#include <deque>
#include <mutex>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "emu_state.h"

struct CUstream_st {
  unsigned int flags;
  int priority;
  int device;
  bool legacy;         // the legacy default stream of `device`
  cudaError_t failed;  // first error of its work since the last synchronisation
};

namespace qoremu {
namespace {

// More devices than any test asks for; each has its legacy default stream.
constexpr int max_devices = 64;

struct queued {
  CUstream_st* stream;
  work item;
};

std::mutex stream_mutex;  // the registry and the queue
std::mutex run_mutex;     // one synchronisation runs work at a time

std::unordered_set<CUstream_st*>& streams() {
  static auto* table = new std::unordered_set<CUstream_st*>();
  return *table;
}
std::deque<queued>& pending() {
  static auto* list = new std::deque<queued>();
  return *list;
}
CUstream_st* legacy_stream(int device) {
  static CUstream_st* table = [] {
    auto* t = new CUstream_st[max_devices];
    for (int d = 0; d < max_devices; ++d)
      t[d] = CUstream_st{cudaStreamDefault, 0, d, true, cudaSuccess};
    return t;
  }();
  return device >= 0 && device < max_devices ? &table[device] : nullptr;
}

bool blocking(const CUstream_st* s) { return !s->legacy && !(s->flags & cudaStreamNonBlocking); }

// Takes out of the queue, in queue order, every item that an item queued now
// on one of `targets` would wait for: earlier work of the same stream; for
// the legacy default stream, earlier work of its device's blocking streams;
// for a blocking stream, earlier work of its device's legacy stream; and,
// through those, whatever they wait for.  Caller holds stream_mutex.
std::vector<queued> take_predecessors(const std::vector<CUstream_st*>& targets) {
  std::set<CUstream_st*> needed(targets.begin(), targets.end());
  std::set<int> legacy_waits, blocking_waits;  // by device
  for (CUstream_st* s : targets) {
    if (s->legacy) legacy_waits.insert(s->device);
    if (blocking(s)) blocking_waits.insert(s->device);
  }
  std::deque<queued>& list = pending();
  std::vector<bool> take(list.size(), false);
  for (size_t i = list.size(); i-- > 0;) {
    CUstream_st* s = list[i].stream;
    const bool wanted = needed.count(s) != 0 || (blocking(s) && legacy_waits.count(s->device)) ||
                        (s->legacy && blocking_waits.count(s->device));
    if (!wanted) continue;
    take[i] = true;
    needed.insert(s);
    if (s->legacy) legacy_waits.insert(s->device);
    if (blocking(s)) blocking_waits.insert(s->device);
  }
  std::vector<queued> out;
  std::deque<queued> kept;
  for (size_t i = 0; i < list.size(); ++i) {
    if (take[i]) {
      out.push_back(std::move(list[i]));
    } else {
      kept.push_back(std::move(list[i]));
    }
  }
  list.swap(kept);
  return out;
}

// Runs what work queued now on `targets` would wait for.  One caller at a
// time, so that work taken out of the queue is done before anyone else may
// rely on it.
void run_predecessors(const std::vector<CUstream_st*>& targets) {
  std::lock_guard<std::mutex> running(run_mutex);
  std::vector<queued> items;
  {
    std::lock_guard<std::mutex> lock(stream_mutex);
    items = take_predecessors(targets);
  }
  for (queued& q : items) {
    cudaError_t result = q.item();
    std::lock_guard<std::mutex> lock(stream_mutex);
    if (result != cudaSuccess && q.stream->failed == cudaSuccess) q.stream->failed = result;
  }
}

// The first error recorded on `targets`, which are cleared.
cudaError_t take_failure(const std::vector<CUstream_st*>& targets) {
  std::lock_guard<std::mutex> lock(stream_mutex);
  cudaError_t failed = cudaSuccess;
  for (CUstream_st* s : targets) {
    if (failed == cudaSuccess) failed = s->failed;
    s->failed = cudaSuccess;
  }
  return failed;
}

std::vector<CUstream_st*> streams_of(int device) {
  std::vector<CUstream_st*> targets;
  {
    std::lock_guard<std::mutex> lock(stream_mutex);
    for (CUstream_st* s : streams()) {
      if (s->device == device) targets.push_back(s);
    }
  }
  if (CUstream_st* legacy = legacy_stream(device)) targets.push_back(legacy);
  return targets;
}

}  // namespace

CUstream_st* resolve_stream(cudaStream_t stream) {
  if (!stream) return legacy_stream(current_device());
  std::lock_guard<std::mutex> lock(stream_mutex);
  return streams().count(stream) ? stream : nullptr;
}

int stream_device(const CUstream_st* stream) { return stream->device; }

bool stream_is_valid(cudaStream_t stream) { return resolve_stream(stream) != nullptr; }

cudaError_t lookup_stream(cudaStream_t handle, CUstream_st** out) {
  *out = resolve_stream(handle);
  return *out ? cudaSuccess : cudaErrorInvalidResourceHandle;
}

cudaError_t enqueue(CUstream_st* stream, work item) {
  std::lock_guard<std::mutex> lock(stream_mutex);
  pending().push_back(queued{stream, std::move(item)});
  return cudaSuccess;
}

cudaError_t drain(CUstream_st* stream) {
  run_predecessors({stream});
  return take_failure({stream});
}

void complete_queued(CUstream_st* stream) { run_predecessors({stream}); }

cudaError_t drain_device(int device) {
  const std::vector<CUstream_st*> targets = streams_of(device);
  run_predecessors(targets);
  return take_failure(targets);
}

void destroy_device_streams(int device) {
  std::lock_guard<std::mutex> lock(stream_mutex);
  std::deque<queued> kept;
  for (queued& q : pending()) {
    if (q.stream->device != device) kept.push_back(std::move(q));
  }
  pending().swap(kept);
  for (auto it = streams().begin(); it != streams().end();) {
    if ((*it)->device == device) {
      delete *it;
      count_down(counter::streams);
      it = streams().erase(it);
    } else {
      ++it;
    }
  }
  if (CUstream_st* legacy = legacy_stream(device)) legacy->failed = cudaSuccess;
}

bool busy(CUstream_st* stream) {
  std::lock_guard<std::mutex> lock(stream_mutex);
  for (const queued& q : pending()) {
    if (q.stream == stream) return true;
  }
  return false;
}

}  // namespace qoremu

// ------------------------------------------------------------ the API ----

using qoremu::finish;

namespace {

// Same range as current GPUs report: 0 is the least urgent, -5 the most.
constexpr int least_stream_priority = 0;
constexpr int greatest_stream_priority = -5;

cudaError_t create_stream(cudaStream_t* out, unsigned int flags, int priority) {
  if (!out) return cudaErrorInvalidValue;
  if (flags & ~static_cast<unsigned int>(cudaStreamNonBlocking)) return cudaErrorInvalidValue;
  // Out-of-range priorities are clamped, not rejected, as on a GPU.
  if (priority > least_stream_priority) priority = least_stream_priority;
  if (priority < greatest_stream_priority) priority = greatest_stream_priority;
  auto* stream = new CUstream_st{flags, priority, qoremu::current_device(), false, cudaSuccess};
  {
    std::lock_guard<std::mutex> lock(qoremu::stream_mutex);
    qoremu::streams().insert(stream);
  }
  qoremu::count_up(qoremu::counter::streams);
  *out = stream;
  return cudaSuccess;
}

// One attribute of a stream (the null stream's are those of the current
// device's legacy default stream).
template <class T, class Get>
cudaError_t read_attribute(const char* function, cudaStream_t handle, T* out, Get get) {
  if (cudaError_t e = qoremu::enter(function)) return finish(e);
  if (!out) return finish(cudaErrorInvalidValue);
  CUstream_st* s = nullptr;
  if (cudaError_t e = qoremu::lookup_stream(handle, &s)) return finish(e);
  *out = get(*s);
  return cudaSuccess;
}

}  // namespace

extern "C" {

cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
  if (cudaError_t e = qoremu::enter("cudaStreamCreate")) return finish(e);
  return finish(create_stream(pStream, cudaStreamDefault, least_stream_priority));
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags) {
  if (cudaError_t e = qoremu::enter("cudaStreamCreateWithFlags")) return finish(e);
  return finish(create_stream(pStream, flags, least_stream_priority));
}

cudaError_t cudaStreamCreateWithPriority(cudaStream_t* pStream, unsigned int flags, int priority) {
  if (cudaError_t e = qoremu::enter("cudaStreamCreateWithPriority")) return finish(e);
  return finish(create_stream(pStream, flags, priority));
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  if (cudaError_t e = qoremu::enter("cudaStreamDestroy")) return finish(e);
  // The null stream cannot be destroyed.
  CUstream_st* s = stream ? qoremu::resolve_stream(stream) : nullptr;
  if (!s) return finish(cudaErrorInvalidResourceHandle);
  // The runtime lets queued work finish before the stream goes.
  qoremu::drain(s);
  {
    std::lock_guard<std::mutex> lock(qoremu::stream_mutex);
    if (qoremu::streams().erase(s) == 0) return finish(cudaErrorInvalidResourceHandle);
  }
  delete s;
  qoremu::count_down(qoremu::counter::streams);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (cudaError_t e = qoremu::enter("cudaStreamSynchronize")) return finish(e);
  CUstream_st* s = nullptr;
  if (cudaError_t e = qoremu::lookup_stream(stream, &s)) return finish(e);
  return finish(qoremu::drain(s));
}

cudaError_t cudaStreamQuery(cudaStream_t stream) {
  if (cudaError_t e = qoremu::enter("cudaStreamQuery")) return finish(e);
  CUstream_st* s = nullptr;
  if (cudaError_t e = qoremu::lookup_stream(stream, &s)) return finish(e);
  // Queued work is not done yet: say so, and let it run so that polling
  // ends.  The next query reports its outcome.
  if (qoremu::busy(s)) {
    qoremu::run_predecessors({s});
    return cudaErrorNotReady;
  }
  return finish(qoremu::take_failure({s}));
}

cudaError_t cudaDeviceSynchronize(void) {
  if (cudaError_t e = qoremu::enter("cudaDeviceSynchronize")) return finish(e);
  return finish(qoremu::drain_device(qoremu::current_device()));
}

cudaError_t cudaDeviceGetStreamPriorityRange(int* leastPriority, int* greatestPriority) {
  if (cudaError_t e = qoremu::enter("cudaDeviceGetStreamPriorityRange")) return finish(e);
  // Either pointer may be null, as with the runtime.
  if (leastPriority) *leastPriority = least_stream_priority;
  if (greatestPriority) *greatestPriority = greatest_stream_priority;
  return cudaSuccess;
}

cudaError_t cudaStreamGetPriority(cudaStream_t hStream, int* priority) {
  return read_attribute("cudaStreamGetPriority", hStream, priority,
                        [](const CUstream_st& s) { return s.priority; });
}

cudaError_t cudaStreamGetFlags(cudaStream_t hStream, unsigned int* flags) {
  return read_attribute("cudaStreamGetFlags", hStream, flags,
                        [](const CUstream_st& s) { return s.flags; });
}

cudaError_t cudaStreamGetDevice(cudaStream_t hStream, int* device) {
  return read_attribute("cudaStreamGetDevice", hStream, device,
                        [](const CUstream_st& s) { return s.device; });
}

}  // extern "C"
