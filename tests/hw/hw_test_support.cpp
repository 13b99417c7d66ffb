#include "hw_test_support.h"

#include <sched.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

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

int world_rank_now() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

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
    code = __real_MPI_Comm_split(comm, hw_test::fake_host_of(world_rank_now()), key, newcomm);
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

int world_rank() { return world_rank_now(); }

int world_size() {
  int size = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
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

namespace {

// Reads one trace line with a rank field; false for anything else.
//   <S> HH:MM:SS.mmm <pid> <tid> QOR:<line>] [MPI:<rank>] <text>
bool parse_trace_line(const std::string& line, char* severity, int* rank, std::string* text) {
  size_t at = 0;
  auto literal = [&](const char* word) {
    const size_t n = std::strlen(word);
    if (line.compare(at, n, word) != 0) return false;
    at += n;
    return true;
  };
  auto digits = [&](size_t exactly) {
    const size_t start = at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    return at > start && (exactly == 0 || at - start == exactly);
  };
  auto blanks = [&] {
    while (at < line.size() && line[at] == ' ') ++at;
  };
  if (line.size() < 2 || std::strchr("IWEFD", line[0]) == nullptr || line[1] != ' ') return false;
  at = 2;
  if (!(digits(2) && literal(":") && digits(2) && literal(":") && digits(2) && literal(".") &&
        digits(3) && literal(" ")))
    return false;
  blanks();
  if (!(digits(0) && literal(" ") && digits(0) && literal(" QOR:") && digits(0))) return false;
  blanks();
  if (!(literal("] [MPI:"))) return false;
  blanks();
  const size_t rank_start = at;
  if (at < line.size() && line[at] == '-') ++at;
  if (!digits(0)) return false;
  const int value = std::stoi(line.substr(rank_start, at - rank_start));
  if (!literal("] ")) return false;
  *severity = line[0];
  *rank = value;
  *text = line.substr(at);
  return true;
}

}  // namespace

std::vector<std::string> trace_texts(const std::string& log, char severity, int rank) {
  std::vector<std::string> texts;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    char s = 0;
    int r = 0;
    std::string text;
    if (!parse_trace_line(line, &s, &r, &text)) continue;
    if (s != severity || (rank >= 0 && r != rank)) continue;
    texts.push_back(text);
  }
  return texts;
}

std::string message_line(int id, const std::string& body) {
  return "[ERROR QOR-1-" + std::to_string(id) + "] " + body + "\n";
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
  int mine = world_rank_now();
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
