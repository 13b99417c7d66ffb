// The line numbers that the engine's trace lines and raised errors show.
// These are the numbers log readers and their scripts expect, not lines of
// these sources: they stay fixed whatever the layout of the files, and a
// new log line of the engine takes __LINE__ instead.
#pragma once

namespace qor {
namespace network {
namespace report_line {

// Buffer partition, scratch and residue (qor_sw.cpp).
constexpr int layer_created = 22;
constexpr int unequal_parts = 134;
constexpr int short_last_part = 140;
constexpr int residue = 245;
constexpr int temp_buf = 262;

// Diagnostic dumps (qor_sw_dump.cpp).
constexpr int ring_part = 39;
constexpr int dump_cannot_open = 304;
constexpr int dump_free_host = 315;
constexpr int dump_alloc_host = 317;
constexpr int dump_copy_host = 318;
constexpr int dump_layer = 332;
constexpr int dump_dim = 343;

// MPI failures of one traversal step: the receive and send posts and the
// waits for them, of the recursive and of the ring traversal.
struct step {
  int irecv, isend, wait_recv, wait_send;
};
constexpr step recursive_step = {828, 829, 835, 852};
constexpr step ring_step = {935, 936, 944, 961};

// The bounded wait of the debug instances: an MPI failure, and the time-out.
constexpr int bounded_wait_mpi = 865;
constexpr int bounded_wait_timeout = 869;

// An algorithm value selection never stores, met by a phase.
constexpr int unknown_rs_algo = 1366;
constexpr int unknown_ag_algo = 1407;

// Element-wise reduction: the synchronisations after each kernel and the
// failing float axpy.
constexpr int bor_float_sync = 1558;
constexpr int bor_half_sync = 1570;
constexpr int saxpy_failed = 1577;
constexpr int saxpy_sync = 1585;
constexpr int hxpy_sync = 1596;

}  // namespace report_line
}  // namespace network
}  // namespace qor
