// Emulated NCCL over POSIX shared memory (see nccl.h).  The ranks of a
// communicator share one segment named after the unique id; the name is
// unlinked as soon as every rank has attached, so nothing outlives the
// processes.  A collective moves through the segment in chunks of at most
// slot_bytes per rank: every rank copies its input chunk into its own slot,
// all meet at a barrier, then every rank computes its output from the
// slots.  Inputs are thus in shared memory before any output is written,
// which makes the in-place forms safe.  Sums follow the ring, as NCCL's ring
// algorithm does: each share of a round is summed starting at the rank
// after its owner and going round, rounding after every addition, and every
// rank computes every share the same way, so results agree bitwise.
//
// A collective first runs the work queued before it on its stream (and what
// that waits for), so that it reads the inputs a GPU would read; then the
// exchange with the peers happens at the call, so that failures and
// time-outs reach the caller.  Its result, though, lands in device memory
// only when the stream gets that far: a write queued on the stream, run by a
// synchronisation or by later work of the stream.  A host that reads the
// buffer without waiting for that stream reads what was there before, as on
// a GPU.  Its buffers must be device memory of the communicator's device.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cuda_fp16.h"
#include "emu_state.h"
#include "nccl.h"
#include "nccl_emu_shm.h"

namespace qn = qoremu::nccl;

struct ncclComm {
  int rank = 0;
  int nranks = 0;
  int device = 0;  // visible device current at ncclCommInitRank
  unsigned char* base = nullptr;
  size_t bytes = 0;
  double timeout_s = 0;
  uint64_t calls = 0;   // collective calls made, posted for mismatch checks
  uint64_t rounds = 0;  // barriers passed in collectives; picks the slot
  // Once set, every later collective returns it at once: after a time-out
  // or a mismatch the ranks are no longer in step.
  ncclResult_t failed = ncclSuccess;
  std::vector<const unsigned char*> sources;  // one slot per rank
};

namespace {

// "/qoremu_nccl_" + 32 lower-case hex digits, NUL-terminated: the id is the
// shared-memory name itself.
constexpr char id_prefix[] = "/qoremu_nccl_";
constexpr size_t id_prefix_len = sizeof(id_prefix) - 1;
constexpr size_t id_hex_digits = 32;
static_assert(id_prefix_len + id_hex_digits + 1 <= NCCL_UNIQUE_ID_BYTES, "unique id too small");

enum coll_kind : int32_t {
  kind_allreduce = 1,
  kind_reduce_scatter,
  kind_allgather,
  kind_reduce,
  kind_broadcast
};

ncclResult_t injected(const char* function) {
  return static_cast<ncclResult_t>(qoremu::injected_failure(function));
}

bool id_is_valid(const ncclUniqueId& id) {
  if (std::memcmp(id.internal, id_prefix, id_prefix_len) != 0) return false;
  for (size_t i = 0; i < id_hex_digits; ++i) {
    char c = id.internal[id_prefix_len + i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return id.internal[id_prefix_len + id_hex_digits] == '\0';
}

bool fill_random(unsigned char* out, size_t bytes) {
  size_t done = 0;
  while (done < bytes) {
    ssize_t got = getrandom(out + done, bytes - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(got);
  }
  if (done == bytes) return true;
  // Kernels without getrandom(2).
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (done < bytes) {
    ssize_t got = read(fd, out + done, bytes - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  close(fd);
  return done == bytes;
}

size_t element_bytes(ncclDataType_t type) {
  switch (type) {
    case ncclUint8:
      return 1;
    case ncclHalf:
      return 2;
    case ncclFloat:
      return 4;
    default:
      return 0;  // not supported by the emulation
  }
}

void unlink_name(void* name) { shm_unlink(static_cast<const char*>(name)); }

// ---------------------------------------------------------------- sums ----

// Plain element-wise passes over restrict pointers so that gcc vectorises
// the float and byte sums.
void add_float(float* __restrict out, const float* __restrict in, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] += in[i];
}
void add_u8(uint8_t* __restrict out, const uint8_t* __restrict in, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(out[i] + in[i]);
}
// Binary16 rounds after every addition, as a half-precision ring does.
void add_half(__half* __restrict out, const __half* __restrict in, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = __float2half(__half2float(out[i]) + __half2float(in[i]));
}

// out[i] = the sum over the ranks of sources[k][i], in ring order: the
// round's n elements are cut into one share per rank, and share p is summed
// from rank p+1 round to rank p.  `out` is the caller's buffer; the sources
// are slots in the segment and never alias it.
void sum_slots(ncclComm* comm, ncclDataType_t type, unsigned char* out, size_t n) {
  const std::vector<const unsigned char*>& src = comm->sources;
  const int ranks = comm->nranks;
  const size_t es = element_bytes(type);
  for (int p = 0; p < ranks; ++p) {
    const size_t lo = n * static_cast<size_t>(p) / ranks;
    const size_t length = n * static_cast<size_t>(p + 1) / ranks - lo;
    unsigned char* share = out + lo * es;
    std::memcpy(share, src[(p + 1) % ranks] + lo * es, length * es);
    for (int k = 2; k <= ranks; ++k) {
      const unsigned char* in = src[(p + k) % ranks] + lo * es;
      switch (type) {
        case ncclFloat:
          add_float(reinterpret_cast<float*>(share), reinterpret_cast<const float*>(in), length);
          break;
        case ncclHalf:
          add_half(reinterpret_cast<__half*>(share), reinterpret_cast<const __half*>(in), length);
          break;
        default:
          add_u8(share, in, length);
          break;
      }
    }
  }
}

// ----------------------------------------------------------- protocol ----

ncclResult_t fail(ncclComm* comm, ncclResult_t result) {
  comm->failed = result;
  return result;
}

bool same_call(const qn::call_desc& a, const qn::call_desc& b) {
  return a.seq == b.seq && a.count == b.count && a.kind == b.kind && a.dtype == b.dtype &&
         a.root == b.root;
}

// Runs one collective to completion.  Arguments have been checked.
ncclResult_t run(ncclComm* comm, coll_kind kind, const void* sendbuff, void* recvbuff, size_t count,
                 ncclDataType_t type, int root) {
  const size_t es = element_bytes(type);
  const int ranks = comm->nranks;
  const int me = comm->rank;
  // A reduce-scatter round carries one piece per destination rank.
  const size_t chunk = kind == kind_reduce_scatter ? qn::slot_bytes / (es * ranks) : qn::slot_bytes / es;
  // Even count 0 takes one round: the call is still matched with the peers'.
  const size_t chunks = count == 0 ? 1 : (count + chunk - 1) / chunk;
  const auto* send = static_cast<const unsigned char*>(sendbuff);
  auto* recv = static_cast<unsigned char*>(recvbuff);


  qn::call_desc mine{};
  mine.seq = comm->calls;
  mine.count = count;
  mine.kind = kind;
  mine.dtype = type;
  mine.root = root;

  for (size_t c = 0; c < chunks; ++c) {
    const uint64_t round = comm->rounds++;
    const size_t first = c * chunk;
    const size_t n = count == 0 ? 0 : (count - first < chunk ? count - first : chunk);
    const size_t bytes = n * es;
    unsigned char* my_slot = qn::slot_of(comm->base, me, round);

    if (c == 0) qn::meta_of(comm->base, me)->desc[round & 1] = mine;
    if (bytes > 0) {
      switch (kind) {
        case kind_allreduce:
        case kind_reduce:
        case kind_allgather:
          std::memcpy(my_slot, send + first * es, bytes);
          break;
        case kind_broadcast:
          if (me == root) std::memcpy(my_slot, send + first * es, bytes);
          break;
        case kind_reduce_scatter:
          for (int j = 0; j < ranks; ++j) {
            std::memcpy(my_slot + j * bytes, send + (j * count + first) * es, bytes);
          }
          break;
      }
    }

    switch (qn::barrier(comm->base, ranks, comm->timeout_s)) {
      case qn::barrier_result::passed:
        break;
      case qn::barrier_result::aborted:
      case qn::barrier_result::timed_out:
        return fail(comm, ncclRemoteError);
    }

    if (c == 0) {
      // Every rank sees the same descriptors, so all reach the same verdict.
      for (int k = 0; k < ranks; ++k) {
        if (!same_call(qn::meta_of(comm->base, k)->desc[round & 1], mine)) {
          return fail(comm, ncclInvalidUsage);
        }
      }
    }
    if (bytes == 0) continue;

    for (int k = 0; k < ranks; ++k) comm->sources[k] = qn::slot_of(comm->base, k, round);
    switch (kind) {
      case kind_allreduce:
        sum_slots(comm, type, recv + first * es, n);
        break;
      case kind_reduce:
        if (me == root) sum_slots(comm, type, recv + first * es, n);
        break;
      case kind_broadcast:
        std::memcpy(recv + first * es, comm->sources[root], bytes);
        break;
      case kind_allgather:
        for (int k = 0; k < ranks; ++k) {
          std::memcpy(recv + (k * count + first) * es, comm->sources[k], bytes);
        }
        break;
      case kind_reduce_scatter:
        for (int k = 0; k < ranks; ++k) comm->sources[k] += static_cast<size_t>(me) * bytes;
        sum_slots(comm, type, recv + first * es, n);
        break;
    }
  }
  return ncclSuccess;
}

// Bytes of a collective's send and receive buffers on this rank.
void buffer_bytes(const ncclComm* comm, coll_kind kind, size_t count, size_t es, size_t* send,
                  size_t* recv) {
  const size_t all = count * static_cast<size_t>(comm->nranks) * es;
  *send = kind == kind_reduce_scatter ? all : count * es;
  *recv = kind == kind_allgather ? all : count * es;
}

// Checks shared by all collectives, then runs it on its stream.  The root's
// buffer alone matters for the send side of broadcast and the receive side
// of reduce.
ncclResult_t collective(ncclComm* comm, coll_kind kind, const void* sendbuff, void* recvbuff,
                        size_t count, ncclDataType_t type, ncclRedOp_t op, int root,
                        cudaStream_t stream) {
  if (!comm || !comm->base) return ncclInvalidArgument;
  // Counted before any check so that a call rejected here on one rank still
  // shows up as a mismatch with its peers' next call.
  ++comm->calls;
  const size_t es = element_bytes(type);
  if (es == 0 || op != ncclSum) return ncclInvalidArgument;
  if (root < 0 || root >= comm->nranks) return ncclInvalidArgument;
  CUstream_st* s = qoremu::resolve_stream(stream);
  if (!s) return ncclInvalidArgument;
  size_t send_bytes = 0, recv_bytes = 0;
  buffer_bytes(comm, kind, count, es, &send_bytes, &recv_bytes);
  const bool is_root = comm->rank == root;
  const bool send_needed = count > 0 && (kind != kind_broadcast || is_root);
  const bool recv_needed = count > 0 && (kind != kind_reduce || is_root);
  // NCCL refuses buffers that are not device memory of its device.
  auto on_device = [&](const void* ptr, size_t bytes) {
    int owner = -1;
    return ptr && qoremu::device_view(ptr, bytes, &owner) && owner == comm->device;
  };
  if ((send_needed && !on_device(sendbuff, send_bytes)) ||
      (recv_needed && !on_device(recvbuff, recv_bytes))) {
    return ncclInvalidArgument;
  }
  if (comm->failed != ncclSuccess) return comm->failed;
  if (qn::is_aborted(comm->base)) return fail(comm, ncclRemoteError);
  qoremu::complete_queued(s);
  const void* send = send_needed ? qoremu::device_view(sendbuff, send_bytes) : nullptr;
  // The result waits here until the stream reaches it.
  auto staged = std::make_shared<std::vector<unsigned char>>(recv_needed ? recv_bytes : 0);
  const ncclResult_t result = run(comm, kind, send, staged->data(), count, type, root);
  if (result != ncclSuccess || !recv_needed) return result;
  qoremu::enqueue(s, [recvbuff, recv_bytes, staged] {
    void* recv = qoremu::device_view(recvbuff, recv_bytes);
    if (!recv) return cudaErrorIllegalAddress;  // released before the stream got here
    std::memcpy(recv, staged->data(), recv_bytes);
    return cudaSuccess;
  });
  return ncclSuccess;
}

}  // namespace

extern "C" {

ncclResult_t ncclGetVersion(int* version) {
  if (ncclResult_t r = injected("ncclGetVersion")) return r;
  if (!version) return ncclInvalidArgument;
  *version = NCCL_VERSION_CODE;
  return ncclSuccess;
}

ncclResult_t ncclGetUniqueId(ncclUniqueId* uniqueId) {
  if (ncclResult_t r = injected("ncclGetUniqueId")) return r;
  if (!uniqueId) return ncclInvalidArgument;
  unsigned char random[id_hex_digits / 2];
  if (!fill_random(random, sizeof random)) return ncclSystemError;
  static const char hex[] = "0123456789abcdef";
  std::memset(uniqueId->internal, 0, sizeof uniqueId->internal);
  std::memcpy(uniqueId->internal, id_prefix, id_prefix_len);
  for (size_t i = 0; i < sizeof random; ++i) {
    uniqueId->internal[id_prefix_len + 2 * i] = hex[random[i] >> 4];
    uniqueId->internal[id_prefix_len + 2 * i + 1] = hex[random[i] & 15];
  }
  return ncclSuccess;
}

ncclResult_t ncclCommInitRank(ncclComm_t* comm, int nranks, ncclUniqueId commId, int rank) {
  if (ncclResult_t r = injected("ncclCommInitRank")) return r;
  qoremu::record_nccl_rings();
  if (!comm) return ncclInvalidArgument;
  *comm = nullptr;
  if (nranks < 1 || nranks > qn::max_ranks || rank < 0 || rank >= nranks || !id_is_valid(commId)) {
    return ncclInvalidArgument;
  }
  // What NCCL reports when the CUDA runtime finds no device.
  if (qoremu::device_count() <= 0) return ncclUnhandledCudaError;
  const int device = qoremu::current_device();

  char* name = commId.internal;  // NUL-terminated, checked above
  const double timeout_s = qn::timeout_from_env();
  const size_t bytes = qn::segment_bytes(nranks);

  int fd = shm_open(name, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return ncclSystemError;
  // Poisons the segment for the ranks already in it and removes the name.
  auto give_up = [&](unsigned char* mapped, size_t mapped_bytes, ncclResult_t result) {
    if (mapped) {
      qn::mark_aborted(mapped);
      munmap(mapped, mapped_bytes);
    }
    if (fd >= 0) close(fd);
    shm_unlink(name);
    return result;
  };

  // All ranks size the segment the same from nranks; a rank that finds
  // another size was given another nranks.  fallocate reserves the memory
  // now so that a full /dev/shm fails here rather than with SIGBUS later.
  struct stat st;
  if (fstat(fd, &st) != 0) return give_up(nullptr, 0, ncclSystemError);
  if (st.st_size == 0 && ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    return give_up(nullptr, 0, ncclSystemError);
  }
  if (fstat(fd, &st) != 0) return give_up(nullptr, 0, ncclSystemError);
  if (static_cast<size_t>(st.st_size) != bytes) {
    unsigned char* header = nullptr;
    if (static_cast<size_t>(st.st_size) >= qn::page_bytes) {
      void* p = mmap(nullptr, qn::page_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) header = static_cast<unsigned char*>(p);
    }
    return give_up(header, qn::page_bytes, ncclInvalidUsage);
  }
  if (fallocate(fd, 0, 0, static_cast<off_t>(bytes)) != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
    return give_up(nullptr, 0, ncclSystemError);
  }
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) return give_up(nullptr, 0, ncclSystemError);
  close(fd);
  fd = -1;
  auto* base = static_cast<unsigned char*>(mapped);

  uint32_t expected = 0;
  uint32_t* shared_nranks = &qn::header_of(base)->nranks;
  if (!__atomic_compare_exchange_n(shared_nranks, &expected, static_cast<uint32_t>(nranks), false,
                                   __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE) &&
      expected != static_cast<uint32_t>(nranks)) {
    return give_up(base, bytes, ncclInvalidUsage);
  }
  if (__atomic_exchange_n(&qn::meta_of(base, rank)->claimed, 1u, __ATOMIC_ACQ_REL) != 0) {
    return give_up(base, bytes, ncclInvalidUsage);  // two processes gave the same rank
  }
  qn::meta_of(base, rank)->device = qoremu::physical_device(device);

  // Rendezvous; the last rank to arrive removes the name, the mapping stays.
  switch (qn::barrier(base, nranks, timeout_s, unlink_name, name)) {
    case qn::barrier_result::passed:
      break;
    case qn::barrier_result::aborted:
    case qn::barrier_result::timed_out:
      return give_up(base, bytes, ncclRemoteError);
  }

  // NCCL refuses two ranks on one GPU, on every rank; all see the same
  // devices after the rendezvous, so all reach the same verdict.
  for (int a = 0; a < nranks; ++a) {
    for (int b = a + 1; b < nranks; ++b) {
      if (qn::meta_of(base, a)->device == qn::meta_of(base, b)->device) {
        munmap(base, bytes);
        return ncclInvalidUsage;
      }
    }
  }
  ncclComm* c = new (std::nothrow) ncclComm;
  if (c) {
    try {
      c->sources.resize(nranks);
    } catch (const std::bad_alloc&) {
      delete c;
      c = nullptr;
    }
  }
  if (!c) {
    qn::mark_aborted(base);
    munmap(base, bytes);
    return ncclSystemError;
  }
  c->rank = rank;
  c->nranks = nranks;
  c->device = device;
  c->base = base;
  c->bytes = bytes;
  c->timeout_s = timeout_s;
  qoremu::count_up(qoremu::counter::nccl_comms);
  *comm = c;
  return ncclSuccess;
}

ncclResult_t ncclCommDestroy(ncclComm_t comm) {
  if (ncclResult_t r = injected("ncclCommDestroy")) return r;
  if (!comm) return ncclInvalidArgument;
  // Peers still waiting for this rank fail now instead of at their time-out.
  // A peer that already passed its last barrier with this rank is unaffected.
  qn::mark_aborted(comm->base);
  munmap(comm->base, comm->bytes);
  delete comm;
  qoremu::count_down(qoremu::counter::nccl_comms);
  return ncclSuccess;
}

ncclResult_t ncclCommCount(const ncclComm_t comm, int* count) {
  if (ncclResult_t r = injected("ncclCommCount")) return r;
  if (!comm || !count) return ncclInvalidArgument;
  *count = comm->nranks;
  return ncclSuccess;
}

ncclResult_t ncclCommUserRank(const ncclComm_t comm, int* rank) {
  if (ncclResult_t r = injected("ncclCommUserRank")) return r;
  if (!comm || !rank) return ncclInvalidArgument;
  *rank = comm->rank;
  return ncclSuccess;
}

const char* ncclGetErrorString(ncclResult_t result) {
  switch (result) {
    case ncclSuccess:
      return "no error";
    case ncclUnhandledCudaError:
      return "unhandled cuda error (run with NCCL_DEBUG=INFO for details)";
    case ncclSystemError:
      return "unhandled system error (run with NCCL_DEBUG=INFO for details)";
    case ncclInternalError:
      return "internal error - please report this issue to the NCCL developers";
    case ncclInvalidArgument:
      return "invalid argument (run with NCCL_DEBUG=WARN for details)";
    case ncclInvalidUsage:
      return "invalid usage (run with NCCL_DEBUG=WARN for details)";
    case ncclRemoteError:
      return "remote process exited or there was a network error";
    case ncclInProgress:
      return "NCCL operation in progress";
    default:
      return "unknown result code";
  }
}

ncclResult_t ncclAllReduce(const void* sendbuff, void* recvbuff, size_t count, ncclDataType_t datatype,
                           ncclRedOp_t op, ncclComm_t comm, cudaStream_t stream) {
  if (ncclResult_t r = injected("ncclAllReduce")) return r;
  return collective(comm, kind_allreduce, sendbuff, recvbuff, count, datatype, op, 0, stream);
}

ncclResult_t ncclReduceScatter(const void* sendbuff, void* recvbuff, size_t recvcount,
                               ncclDataType_t datatype, ncclRedOp_t op, ncclComm_t comm,
                               cudaStream_t stream) {
  if (ncclResult_t r = injected("ncclReduceScatter")) return r;
  return collective(comm, kind_reduce_scatter, sendbuff, recvbuff, recvcount, datatype, op, 0, stream);
}

ncclResult_t ncclAllGather(const void* sendbuff, void* recvbuff, size_t sendcount, ncclDataType_t datatype,
                           ncclComm_t comm, cudaStream_t stream) {
  if (ncclResult_t r = injected("ncclAllGather")) return r;
  return collective(comm, kind_allgather, sendbuff, recvbuff, sendcount, datatype, ncclSum, 0, stream);
}

ncclResult_t ncclReduce(const void* sendbuff, void* recvbuff, size_t count, ncclDataType_t datatype,
                        ncclRedOp_t op, int root, ncclComm_t comm, cudaStream_t stream) {
  if (ncclResult_t r = injected("ncclReduce")) return r;
  return collective(comm, kind_reduce, sendbuff, recvbuff, count, datatype, op, root, stream);
}

ncclResult_t ncclBroadcast(const void* sendbuff, void* recvbuff, size_t count, ncclDataType_t datatype,
                           int root, ncclComm_t comm, cudaStream_t stream) {
  if (ncclResult_t r = injected("ncclBroadcast")) return r;
  return collective(comm, kind_broadcast, sendbuff, recvbuff, count, datatype, ncclSum, root, stream);
}

ncclResult_t ncclBcast(void* buff, size_t count, ncclDataType_t datatype, int root, ncclComm_t comm,
                       cudaStream_t stream) {
  if (ncclResult_t r = injected("ncclBcast")) return r;
  return collective(comm, kind_broadcast, buff, buff, count, datatype, ncclSum, root, stream);
}

}  // extern "C"
