// The engine's algorithms, one row each.  Every question about an algorithm
// (its label and mode letter, the phases it serves, whether it can run on a
// dimension and what selection applies instead, whether tuning tries it,
// what fusing makes of it, whether a pipelined layer can run it on
// dimension 0) is answered here, for selection, tuning, the phase dispatch,
// the pipelined layer and the tests alike.  Adding an algorithm is adding a
// row, its reduce-scatter and allgather functions and their two cases in
// the phase dispatch (qor_sw_phases.cpp).
#pragma once

#include <vector>

#include "qor_hw.h"

namespace qor {
namespace network {

struct qor_rcs;

enum class algo_transport { none, nccl, mpi };

struct algo_row {
  ALG id;
  const char* label;  // 7 characters, as log readers know them
  char letter;        // in the mode text; 0 where only fusing or nothing reaches it
  algo_transport transport;
  // The reduce-scatter phase runs the whole allreduce; the allgather has
  // nothing left to do.
  bool whole_in_reduce_scatter;
  // A bitwise-OR pass runs the ring for every algorithm that does not OR
  // by itself.
  bool ors_itself;
  bool tuned;         // a candidate of tuning by measurement (in row order)
  bool tuned_on_gpu;  // ... also when the layer has a device
  ALG fuses_to;       // the last dimension's allreduce when fused; NOOP: not fusible
  bool pipeline_dim0; // a pipelined layer can run it on dimension 0
  bool sums_half;     // has a half-precision sum
};

// The row of an algorithm value, null for a value that is none.
const algo_row* find_algo(int id);
// The row a mode letter selects, null for a letter that selects none
// ('p' asks for tuning, not for an algorithm).
const algo_row* algo_for_letter(char letter);

// Why dimension d cannot run alg on this process as the layer stands, or
// null when it can.  A local answer: decisions that hang on it are agreed
// over the processes first.
const char* cannot_run(const qor_hw& hw, size_t d, const std::vector<qor_rcs>& rcs, int alg);
// What selection applies to dimension d for the letter's algorithm: alg
// itself, or its substitute where the set-up cannot run it.
ALG selectable(const qor_hw& hw, size_t d, ALG alg);
// The candidates of tuning on a dimension, in the order they are tried;
// dimension 0 of a pipelined layer takes those it can run there.
std::vector<ALG> tuning_candidates(const qor_hw& hw, bool pipelined_dim0);
// What fusing can make of the last dimension, in the order tuning tries
// them: every algorithm some row fuses to, by value.
std::vector<ALG> fused_candidates();

}  // namespace network
}  // namespace qor
