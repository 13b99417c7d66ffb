// Helpers of the hardware layer tests.
//
// The test programs are linked with -Wl,--wrap for MPI_Comm_dup,
// MPI_Comm_split, MPI_Comm_split_type and MPI_Comm_free (see
// CMakeLists.txt): every communicator the library makes or frees passes
// through hw_test_support.cpp, which counts them, can pretend that the
// processes run on several hosts, and can make a split fail.  The library
// itself is unchanged.
#pragma once

#include <mpi.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qor_hw.h"
#include "qor_test_support.h"

namespace hw_test {

// Communicators made through the wrapped calls and not yet freed.
long live_comms();

// With n > 0, the host split (Open MPI split type 9) groups world ranks
// r / n together, as if every n consecutive ranks ran on their own host.
// 0 restores the real host split.
void set_fake_hosts(int ranks_per_host);
int fake_host_of(int world_rank);

// After `skip` further successful MPI_Comm_split calls, the next one fails
// with `code` without making a communicator.  skip < 0 clears it.
void fail_comm_split(int skip, int code);

using qor_test::message_line;
using qor_test::trace_texts;
using qor_test::world_rank;
using qor_test::world_size;

// The full option table of the library with `text` applied.
std::map<std::string, std::string> options(const std::string& text);

// A layer built from `opts` and everything it wrote on stderr meanwhile.
struct built {
  std::unique_ptr<qor::network::qor_hw> hw;
  std::string log;
};
built build(std::map<std::string, std::string> opts);
built build(const std::string& text);

// A construction expected to throw QORException.
struct failure {
  bool threw_qor = false;    // QORException
  bool threw_other = false;  // anything else
  bool built = false;        // no exception at all
  int status = 0;
  int id = 0;
  std::string what;
  std::string log;
};
failure build_failure(std::map<std::string, std::string> opts);

// Cores of this process's affinity mask, ascending.
std::vector<int> affinity_cores();

// World ranks of the processes of `comm`, in the order of their rank there.
std::vector<int> world_ranks_of(MPI_Comm comm);

// Rank and size on this host, by the shared-memory split (independent of
// the library's host split).
int local_rank();
int local_size();

}  // namespace hw_test
