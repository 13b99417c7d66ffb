#include "hw_test_support.h"

#include <sched.h>

#include <cstdlib>

#include "qor_exception.h"
#include "qor_message.h"
#include "qor_option.h"
#include "qor_test_support.h"

namespace {

constexpr int host_split_type = 9;  // Open MPI's OMPI_COMM_TYPE_HOST

long live = 0;
int ranks_per_fake_host = 0;
int split_failure_skip = -1;
int split_failure_code = MPI_SUCCESS;

}  // namespace

// The link-time seams (-Wl,--wrap=...).
extern "C" {
int __real_MPI_Comm_dup(MPI_Comm comm, MPI_Comm* newcomm);
int __real_MPI_Comm_split(MPI_Comm comm, int color, int key, MPI_Comm* newcomm);
int __real_MPI_Comm_split_type(MPI_Comm comm, int split_type, int key, MPI_Info info,
                               MPI_Comm* newcomm);
int __real_MPI_Comm_free(MPI_Comm* comm);

int __wrap_MPI_Comm_dup(MPI_Comm comm, MPI_Comm* newcomm) {
  int code = __real_MPI_Comm_dup(comm, newcomm);
  if (code == MPI_SUCCESS && *newcomm != MPI_COMM_NULL) ++live;
  return code;
}

int __wrap_MPI_Comm_split(MPI_Comm comm, int color, int key, MPI_Comm* newcomm) {
  if (split_failure_skip == 0) {
    split_failure_skip = -1;
    return split_failure_code;
  }
  int code = __real_MPI_Comm_split(comm, color, key, newcomm);
  if (code == MPI_SUCCESS) {
    if (*newcomm != MPI_COMM_NULL) ++live;
    if (split_failure_skip > 0) --split_failure_skip;
  }
  return code;
}

int __wrap_MPI_Comm_split_type(MPI_Comm comm, int split_type, int key, MPI_Info info,
                               MPI_Comm* newcomm) {
  int code;
  if (split_type == host_split_type && ranks_per_fake_host > 0) {
    code = __real_MPI_Comm_split(comm, hw_test::fake_host_of(qor_test::world_rank()), key, newcomm);
  } else {
    code = __real_MPI_Comm_split_type(comm, split_type, key, info, newcomm);
  }
  if (code == MPI_SUCCESS && *newcomm != MPI_COMM_NULL) ++live;
  return code;
}

int __wrap_MPI_Comm_free(MPI_Comm* comm) {
  const bool counted = comm != nullptr && *comm != MPI_COMM_NULL;
  int code = __real_MPI_Comm_free(comm);
  if (code == MPI_SUCCESS && counted) --live;
  return code;
}
}  // extern "C"

namespace hw_test {

long live_comms() { return live; }

void set_fake_hosts(int ranks_per_host) { ranks_per_fake_host = ranks_per_host; }

int fake_host_of(int world_rank) {
  return ranks_per_fake_host > 0 ? world_rank / ranks_per_fake_host : 0;
}

void fail_comm_split(int skip, int code) {
  split_failure_skip = skip < 0 ? -1 : skip;
  split_failure_code = code;
}


std::map<std::string, std::string> options(const std::string& text) { return parse_option(text); }

built build(std::map<std::string, std::string> opts) {
  built result;
  qor_test::stderr_capture capture;
  try {
    result.hw = std::make_unique<qor::network::qor_hw>(MPI_COMM_WORLD, opts);
  } catch (...) {
    std::string log = capture.take();
    std::fputs(log.c_str(), stderr);  // the reason belongs in the test output
    throw;
  }
  result.log = capture.take();
  return result;
}

built build(const std::string& text) { return build(options(text)); }

failure build_failure(std::map<std::string, std::string> opts) {
  failure result;
  qor_test::stderr_capture capture;
  try {
    qor::network::qor_hw hw(MPI_COMM_WORLD, opts);
    result.built = true;
  } catch (const QORException& e) {
    result.threw_qor = true;
    result.status = e.status;
    result.id = e.id;
    result.what = e.what();
  } catch (...) {
    result.threw_other = true;
  }
  result.log = capture.take();
  return result;
}

std::vector<int> affinity_cores() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  std::vector<int> cores;
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) return cores;
  for (int core = 0; core < CPU_SETSIZE; ++core) {
    if (CPU_ISSET(core, &mask)) cores.push_back(core);
  }
  return cores;
}

std::vector<int> world_ranks_of(MPI_Comm comm) {
  int size = 0;
  MPI_Comm_size(comm, &size);
  std::vector<int> ranks(static_cast<size_t>(size), -1);
  int mine = world_rank();
  MPI_Allgather(&mine, 1, MPI_INT, ranks.data(), 1, MPI_INT, comm);
  return ranks;
}

namespace {
int shared_query(int (*query)(MPI_Comm, int*)) {
  MPI_Comm shared = MPI_COMM_NULL;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &shared);
  int value = -1;
  query(shared, &value);
  MPI_Comm_free(&shared);
  return value;
}
}  // namespace

int local_rank() { return shared_query(MPI_Comm_rank); }
int local_size() { return shared_query(MPI_Comm_size); }

}  // namespace hw_test
