// Construction and release of the hardware layer, its run-time options, the
// algorithm letters and the sizing helpers.
#include "qor_hw.h"

#include <sched.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "qor.h"
#include "qor_check.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_option.h"
#include "qor_trace.h"

namespace qor {
namespace network {

int qor_hw::_align_part = 8;

namespace {

const std::string& text_of(const std::map<std::string, std::string>& options, const char* key) {
  static const std::string empty;
  auto it = options.find(key);
  return it == options.end() ? empty : it->second;
}

// Base-10 strtol, so "abc" reads as 0 and "12ab" as 12; out-of-range values
// saturate instead of wrapping when narrowed to int.
int to_int(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double to_real(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Enough digits that strtod gives back the same double.
std::string exact_text(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// A value that would crash the engine later is refused now, while the
// caller can still report the failure of qor_init.
[[noreturn]] void reject_option(int rank, const char* key, const std::string& value,
                                const char* why) {
  QOR_REFUSE(rank, "invalid value \"" + value + "\" for -" + key + " option (" + why + ")");
}

}  // namespace

qor_hw::qor_hw(MPI_Comm comm, std::map<std::string, std::string>& options) {
  try {
    QOR_CHECK_MPI(MPI_Comm_dup(comm, &_comm));
    QOR_CHECK_MPI(MPI_Comm_rank(_comm, &_rank));
    QOR_CHECK_MPI(MPI_Comm_size(_comm, &_size));
    int version = 0;
    int subversion = 0;
    QOR_CHECK_MPI(MPI_Get_version(&version, &subversion));
    if (_rank == 0) {
      QOR_TRACE_RANK('I', _rank) << "==== Vorlan Corp. QOR " << QOR_VERSION_MAJOR << '.'
                                 << QOR_VERSION_MINOR << '.' << QOR_VERSION_PATCH << " + (MPI "
                                 << version << '.' << subversion << ") ====";
    }
    read_options(options);
    choose_device(options);
    check_conflicts(options);
    write_advice(options);
    create_dim();
    if (_device >= 0) create_cuda();
    create_shm_pool(options);
    record_affinity();
    if (_dbg_level >= 2) write_binding();
  } catch (...) {
    // The destructor does not run for a failed construction; the
    // dimensions release themselves as members.
    release();
    throw;
  }
}

qor_hw::~qor_hw() { release(); }

void qor_hw::release() {
  for (cudaStream_t stream : _streams) {
    if (stream) cudaStreamDestroy(stream);
  }
  _streams.clear();
  for (cudaStream_t stream : _pipe_streams) {
    if (stream) cudaStreamDestroy(stream);
  }
  _pipe_streams.clear();
  if (_host_buf) {
    cudaFreeHost(_host_buf);
    _host_buf = nullptr;
  }
  release_staging();
  if (_cublas) {
    cublasDestroy(_cublas);
    _cublas = nullptr;
  }
  // A failed release leaves no error behind for the next CUDA check.
  if (_device >= 0) cudaGetLastError();
  _shm_pool.reset();
  free_communicator(&_comm);
}

void qor_hw::read_options(const std::map<std::string, std::string>& options) {
  _dbg_level = to_int(text_of(options, "dbg_level"));
  _desc = text_of(options, "mode");
  _mon_iter = to_int(text_of(options, "mon_iter"));
  _dump_iter = to_int(text_of(options, "dump_iter"));
  _comm_iter = to_int(text_of(options, "comm_iter"));
  _dev_sync = to_int(text_of(options, "dev_sync"));
  _jitter_thold = to_real(text_of(options, "jitter_thold"));
  _rebind_iter = to_int(text_of(options, "rebind_iter"));
  _pipe = to_int(text_of(options, "pipe"));
  _pipe_thold = to_int(text_of(options, "pipe_thold"));
  _pack = static_cast<float>(to_real(text_of(options, "pack")));
  _omp = to_int(text_of(options, "omp"));
  _fuse_dim = to_int(text_of(options, "fuse_dim"));
  _dump_grad_path = text_of(options, "dump_grad_path");
  _mpi_inplace = to_int(text_of(options, "mpi_inplace"));
  _share_algo = to_int(text_of(options, "share_algo"));
  _cross_node_nccl = to_int(text_of(options, "cross_node_nccl"));
  _mpi_mode = to_int(text_of(options, "mpi_mode"));
  const std::string& align_text = text_of(options, "align_part");
  const int align_part = to_int(align_text);
  _comp_min_size = to_int(text_of(options, "comp_min_size"));

  // get_algo reads the letter before the ':' and get_avg_buf_size divides
  // by the alignment: neither may be missing.
  if (get_num_algo() < 1)
    reject_option(_rank, "mode", _desc, "an algorithm letter is needed before any ':'");
  if (align_part < 1) reject_option(_rank, "align_part", align_text, "it must be at least 1");
  _align_part = align_part;
}

void qor_hw::choose_device(const std::map<std::string, std::string>& options) {
  _device = -1;
  if (text_of(options, "cpu_only") != "0") return;
  int count = 0;
  const bool has_gpu = cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
  // No device is not an error here; leave none behind.  A process without
  // one refuses GPU mode below (message 16); the others must not wait for
  // it in the host split.
  if (!has_gpu) cudaGetLastError();
  agree(has_gpu, "no GPU is detected");
  if (!has_gpu) return;
  // The rank on this host among the layer's processes: a split of the
  // world here would wait for processes that are not building this layer.
  // For the world communicator it is the process's local rank.
  int local_rank = 0;
  MPI_Comm host = MPI_COMM_NULL;
  QOR_CHECK_MPI(MPI_Comm_split_type(_comm, host_split_type, 0, MPI_INFO_NULL, &host));
  const int ranked = MPI_Comm_rank(host, &local_rank);
  free_communicator(&host);
  if (ranked != MPI_SUCCESS) raise_mpi(__FILE__, __LINE__, ranked);
  // Where each process sees one GPU (a scheduler's CUDA_VISIBLE_DEVICES),
  // the local rank is not a device ordinal.
  _device = local_rank % count;
  const cudaError_t set = cudaSetDevice(_device);
  agree(set == cudaSuccess, "cudaSetDevice failed");
  if (set != cudaSuccess) raise_cuda(__FILE__, __LINE__, set);
  detect_mpi_cuda_awareness();
}

void qor_hw::agree(bool ok, const std::string& failure) {
  struct {
    int ok;
    int rank;
  } mine = {ok ? 1 : 0, _rank}, first = {1, 0};
  QOR_CHECK_MPI(MPI_Allreduce(&mine, &first, 1, MPI_2INT, MPI_MINLOC, _comm));
  // A process that failed reports its own failure.
  if (first.ok || !ok) return;
  QOR_REFUSE(_rank, "process " + std::to_string(first.rank) + " cannot go on: " + failure);
}

void qor_hw::check_conflicts(const std::map<std::string, std::string>& options) {
  auto conflict = [&](const char* option, const char* other) {
    // The option names carry their '-'; the map keys do not.
    QOR_RAISE(qor_message::MSG_PARAM_CONFLICT, qor_message::MSG_PARAM_CONFLICT, _rank, option,
              text_of(options, option + 1).c_str(), other, text_of(options, other + 1).c_str());
  };
  if (_device >= 0) {
    if (_fuse_dim > 0 && _pack != 0.0f && check_algo('m')) conflict("-pack", "-fuse_dim");
    return;
  }
  if (_pipe > 1) {
    conflict("-pipe", "-cpu_only");
  } else if (_pack != 0.0f) {
    conflict("-pack", "-cpu_only");
  } else if (_comp_min_size > 0) {
    conflict("-comp_min_size", "-cpu_only");
  }
  const std::string& cpu_only = text_of(options, "cpu_only");
  if (cpu_only == "0") {
    QOR_RAISE(qor_message::MSG_NO_GPU, qor_message::MSG_NO_GPU, _rank, "-cpu_only",
              cpu_only.c_str());
  }
}

void qor_hw::write_advice(const std::map<std::string, std::string>& options) {
  if (_rank != 0) return;
  if (_comm_iter > 0) {
    QOR_TRACE_RANK('W', _rank) << "[-comm_iter " << text_of(options, "comm_iter") << "]"
                               << " reduces the communication frequency (may hurt convergence)";
  }
  if (_fuse_dim > 0) {
    QOR_TRACE_RANK('W', _rank) << "[-fuse_dim " << text_of(options, "fuse_dim") << "]"
                               << " allows to invoke native allreduce";
  }
  if (_dev_sync > 0) {
    QOR_TRACE_RANK('W', _rank) << "[-dev_sync " << text_of(options, "dev_sync") << "]"
                               << " can degrade performance";
  }
  if (_device >= 0) write_cuda_awareness();
  if (_device < 0) {
    QOR_TRACE_RANK('W', _rank) << "[-cpu_only " << text_of(options, "cpu_only") << "]"
                               << " can degrade performance";
  }
  if (_mpi_inplace != 0) {
    QOR_TRACE_RANK('W', _rank) << "[-mpi_inplace " << text_of(options, "mpi_inplace") << "]"
                               << " may not run on some MPI implementations";
  }
  if (_omp > 1 && _pipe > 1) {
    QOR_TRACE_RANK('W', _rank) << "[-pipe " << text_of(options, "pipe") << "]"
                               << "[-omp " << text_of(options, "omp") << "]"
                               << " may cause hang if NCCL is selected beyond the 2nd dim";
  }
}

void qor_hw::record_affinity() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) return;
  for (int core = 0; core < CPU_SETSIZE; ++core) {
    if (CPU_ISSET(core, &mask)) _cpus.push_back(core);
  }
}

void qor_hw::create_shm_pool(const std::map<std::string, std::string>& options) {
  // Agreed, so that a process started with other options cannot leave the
  // others waiting in a window the SHM algorithm makes alone.
  _shm = all_agree(to_int(text_of(options, "shm")) != 0) ? 1 : 0;
  MPI_Comm host = MPI_COMM_NULL;
  QOR_CHECK_MPI(MPI_Comm_split_type(_comm, host_split_type, 0, MPI_INFO_NULL, &host));
  try {
    QOR_CHECK_MPI(MPI_Comm_size(host, &_host_processes));
    const size_t mib = static_cast<size_t>(std::max(0, std::min(to_int(text_of(options, "shm_pool")), 1 << 20)));
    if (_device < 0 && _shm != 0 && all_agree(mib > 0)) {
      // Sparse as it is, the window may be checked against the file
      // system's free space as a whole: a small /dev/shm (containers often
      // have 64 MiB) gets a smaller pool, not a failed start.
      const size_t room = shm_bytes_free() / 2 / static_cast<size_t>(std::max(1, _host_processes));
      _shm_pool.reset(new shm_pool(host, std::min(mib << 20, room)));
    }
  } catch (...) {
    free_communicator(&host);
    throw;
  }
  free_communicator(&host);
}

void qor_hw::write_binding() {
  int device = -1;
  if (_device >= 0) QOR_CHECK_CUDA(cudaGetDevice(&device));
  std::ostringstream text;
  text << "gpu " << device << " bound to { ";
  for (int core : _cpus) text << core << ' ';
  text << '}';
  QOR_TRACE_RANK('I', _rank) << text.str();
}

bool qor_hw::check_algo(char c) { return _desc.find(c) != std::string::npos; }

int qor_hw::get_num_algo() {
  size_t colon = _desc.find(':');
  return static_cast<int>(colon == std::string::npos ? _desc.size() : colon);
}

char qor_hw::get_algo(int d) {
  const int letters = get_num_algo();
  if (letters < 1) return '\0';  // refused at construction; never read before the text
  if (d < 0) return _desc[0];
  return d < letters ? _desc[d] : _desc[letters - 1];
}

int qor_hw::get_rcs_depth(int n) {
  // Recursive halving covers powers of two from 2 to 1024 only.
  int depth = 1;
  for (int processes = 2; processes <= 1024; processes *= 2, ++depth) {
    if (n == processes) return depth;
  }
  return 0;
}

int qor_hw::get_avg_buf_size(int count, int parts) {
  if (parts < 1) return 0;
  // The constructor refuses alignments below 1; one set directly is treated
  // as no alignment rather than divided by.
  const int align = _align_part < 1 ? 1 : _align_part;
  return (count / parts / align) * align;
}

int qor_hw::serialize_option(char* buf) {
  const int32_t values[4] = {_dbg_level, _mon_iter, _dump_iter, _comm_iter};
  std::memcpy(buf, values, sizeof values);
  return static_cast<int>(sizeof values);
}

void qor_hw::deserialize_option(const char* buf) {
  int32_t values[4];
  std::memcpy(values, buf, sizeof values);
  _dbg_level = values[0];
  _mon_iter = values[1];
  _dump_iter = values[2];
  _comm_iter = values[3];
}

void qor_hw::update_option(const std::string& opts) {
  if (trace_on(_rank, _dbg_level)) QOR_TRACE_RANK('I', _rank) << "update_option with " << opts;
  // Only these keys exist in the map, so the parser refuses every other one.
  std::map<std::string, std::string> current = {
      {"mon_iter", std::to_string(_mon_iter)},
      {"dump_iter", std::to_string(_dump_iter)},
      {"comm_iter", std::to_string(_comm_iter)},
      {"rebind_iter", std::to_string(_rebind_iter)},
      {"jitter_thold", exact_text(_jitter_thold)},
      {"dbg_level", std::to_string(_dbg_level)},
      {"dump_grad_path", _dump_grad_path},
  };
  parse_option(opts, current);
  _dbg_level = to_int(current["dbg_level"]);
  _mon_iter = to_int(current["mon_iter"]);
  _dump_iter = to_int(current["dump_iter"]);
  _comm_iter = to_int(current["comm_iter"]);
  _jitter_thold = to_real(current["jitter_thold"]);
  _rebind_iter = to_int(current["rebind_iter"]);
  _dump_grad_path = current["dump_grad_path"];
  QOR_TRACE_RANK('I', _rank) << "update_option dbg_level=" << _dbg_level
                             << " mon_iter=" << _mon_iter << " dump_iter=" << _dump_iter
                             << " comm_iter=" << _comm_iter;
}

bool qor_hw::all_agree(bool mine) {
  int local = mine ? 1 : 0, all = 0;
  QOR_CHECK_MPI(MPI_Allreduce(&local, &all, 1, MPI_INT, MPI_MIN, _comm));
  return all != 0;
}

}  // namespace network
}  // namespace qor
