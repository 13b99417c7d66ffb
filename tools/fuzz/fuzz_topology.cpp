// libFuzzer target: the topology text of the mode option ("rn:2x4": the
// sizes after ':' split at 'x'), parsed by qor::network::qor_hw::create_dim
// (src/hw/qor_topology.cpp), and the grid arithmetic it feeds (comb,
// decomb).
//
// Why MPI is here.  No part of the library turns the text into sizes
// without MPI: the parse is the first half of the member create_dim, and a
// qor_hw can only be built by its collective constructor over an MPI
// communicator; for accepted text create_dim goes on with MPI_Comm_split.
// Without changing the library, the most direct entry is therefore
// create_dim itself on a hardware layer built once, in host-CPU mode, over
// MPI_COMM_SELF of a singleton MPI process (MPI_Init without mpiexec).
// Each run sets the public members the parse reads (_desc, _size, _rank)
// and calls create_dim.  _size is the number of processes the text must
// multiply to; the communicator itself has one process, so the dimension
// communicators MPI makes have one process each, which the parse does not
// look at.  _size stays within 1..65536 (real jobs are far smaller): above
// 2^27 processes the colour arithmetic after the parse would overflow an
// int, which no MPI job reaches.
//
// Exits.  create_dim does not end the process: text it refuses raises
// QORException (message 13, topology incompatible; message 14, too many
// dimensions) after logging it on stderr.  The target catches QORException
// only around create_dim and checks the message id and text against
// `model`, an independent reading of the rule (every size in 1.._size,
// product == _size, at most 4 sizes, no topology text: one dimension of
// _size).  Accepted text must give the dimensions the model predicts, and
// comb/decomb must map the rank to in-range coordinates and back.  A
// mismatch aborts with the input saved; nothing else is caught.
//
// Leaks: Open MPI keeps allocations of its own (MPI is never finalized);
// run with LSAN_OPTIONS=suppressions=tests/sanitizer/lsan.supp (Open MPI only).
// Logging: run with -close_fd_mask=2 to keep the library's error lines off
// the terminal (libFuzzer's and the sanitizers' reports still show).
#include <mpi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_option.h"

using qor::network::qor_hw;

namespace {

qor_hw* g_hw = nullptr;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_topology: %s: [%s]\n", what, detail.c_str());
  std::abort();
}

struct outcome {
  int message = 0;  // 0 accepted, else the message id raised
  std::vector<int> sizes;
};

outcome model(const std::string& desc, int size) {
  outcome result;
  const size_t colon = desc.find(':');
  const std::string topology = colon == std::string::npos ? "" : desc.substr(colon + 1);
  long long product = 1;
  size_t begin = 0;
  while (!topology.empty()) {
    size_t end = topology.find('x', begin);
    if (end == std::string::npos) end = topology.size();
    const std::string piece = topology.substr(begin, end - begin);
    const long value = std::strtol(piece.c_str(), nullptr, 10);
    if (value < 1 || value > size || (product *= value) > size) {
      result.message = qor_message::MSG_TOPOLOGY;
      return result;
    }
    result.sizes.push_back(static_cast<int>(value));
    if (end == topology.size()) break;
    begin = end + 1;
  }
  if (!topology.empty() && product != size) {
    result.message = qor_message::MSG_TOPOLOGY;
    return result;
  }
  if (result.sizes.empty()) result.sizes.push_back(size);
  if (result.sizes.size() > 4) result.message = qor_message::MSG_DIMENSIONS;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // MPI is never finalized (the layer lives until the process ends), and
  // Open MPI's components stay loaded, so that the leak report at exit can
  // still name their frames for tests/sanitizer/lsan.supp.
  setenv("OMPI_MCA_mca_base_component_disable_dlclose", "1", 0);
  int provided = 0;
  if (MPI_Init_thread(argc, argv, MPI_THREAD_SERIALIZED, &provided) != MPI_SUCCESS) {
    std::fprintf(stderr, "fuzz_topology: MPI_Init_thread failed\n");
    std::exit(2);
  }
  std::map<std::string, std::string> options =
      parse_option("-mode r -cpu_only 1 -qor_legacy_allreduce 1");
  try {
    g_hw = new qor_hw(MPI_COMM_SELF, options);
  } catch (const QORException& e) {
    std::fprintf(stderr, "fuzz_topology: no hardware layer: %s\n", e.what());
    std::exit(2);
  }
  // Warnings ("degenerated into dim=...") would flood the log stream.
  std::clog.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Byte 0 (and 1): the number of processes; byte 2: the rank; the rest:
  // the mode text.
  const int processes =
      data[1] & 0x80 ? 1 + ((data[0] | (data[1] << 8)) & 0xffff) : 1 + data[0] % 64;
  const int rank = data[2] % processes;
  const std::string desc(reinterpret_cast<const char*>(data + 3), size - 3);

  g_hw->_desc = desc;
  g_hw->_size = processes;
  g_hw->_rank = rank;
  g_hw->_dbg_level = data[1] & 0x40 ? 11 : 0;  // also the colour trace line

  const outcome expected = model(desc, processes);
  try {
    g_hw->create_dim();
  } catch (const QORException& e) {
    if (expected.message == 0) fail("refused, expected acceptance", e.message);
    if (e.id != expected.message) fail("other message id", e.message);
    if (e.id == qor_message::MSG_TOPOLOGY &&
        e.message.find("incompatible with the specified number of processes '" +
                       std::to_string(processes) + "'") == std::string::npos)
      fail("topology message text", e.message);
    return 0;
  }
  if (expected.message != 0) fail("accepted, expected a refusal", desc);

  std::vector<int> sizes = expected.sizes;
  sizes.resize(4, 1);
  size_t count = 4;
  while (count > 1 && sizes[count - 1] == 1) --count;
  if (g_hw->_dim.size() != count) fail("dimension count", desc);
  if (g_hw->_multi_stream.size() != count) fail("stream flags", desc);
  for (size_t d = 0; d < count; ++d) {
    if (g_hw->_dim[d]._index != static_cast<int>(d)) fail("dimension index", desc);
    if (g_hw->_dim[d]._comm == MPI_COMM_NULL) fail("no dimension communicator", desc);
  }

  std::vector<int> coords;
  qor_hw::comb(rank, sizes, coords);
  if (coords.size() != sizes.size()) fail("coordinate count", desc);
  for (size_t d = 0; d < sizes.size(); ++d) {
    if (coords[d] < 0 || coords[d] >= sizes[d]) fail("coordinate out of range", desc);
  }
  if (qor_hw::decomb(sizes, coords) != rank) fail("decomb(comb(rank)) != rank", desc);
  return 0;
}
