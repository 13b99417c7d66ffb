// Per-transfer statistics of the engine: one entry per low-level step (an
// MPI or NCCL call, a ring or recursive step), printed as a table on the log
// stream.
#pragma once

#include <string>
#include <vector>

namespace qor {
namespace network {

class qor_stat {
 public:
  // _e2e and _jitter -1.0, room for 4096 entries, none recorded, _t0 now.
  qor_stat();

  // Appends an entry; start is a monotonic time in seconds and is kept
  // relative to _t0.  The lists grow when they are full.
  void add_xact(char algo, double start, int dim, double call, double wait, double op,
                double send, double recv, char tag);
  // Sets the capacity of all lists to n; new entries are zero.  Entries past
  // a smaller capacity are dropped from the count as well.
  void resize(int n);
  // GB/s of the recorded entries of dimension dim: bytes sent and received
  // over the time spent issuing and waiting.
  double get_bandwith(int dim) const;
  // An information line of width + 2 dashes.
  void break_line(int rank, int width) const;
  // The report of the recorded entries; nothing when there are none.
  void dump(int rank, const std::string& name, int) const;
  // Starts a new measurement: no entries, _t0 now.  The lists are kept.
  void reset();

  int _count;                 // entries recorded since the last reset
  std::vector<double> _send;  // bytes sent
  std::vector<double> _recv;  // bytes received
  std::vector<double> _call;  // seconds issuing the transfer
  std::vector<double> _wait;  // seconds waiting for completion
  std::vector<double> _op;    // seconds in the reduction of the step
  std::vector<double> _time;  // start, seconds after _t0
  std::vector<char> _algo;    // kind letter of the step, '-' for a separator
  std::vector<int> _dim_id;   // dimension of the step
  std::vector<int> _tid;      // "tid" column; recording leaves it 0
  std::vector<char> _tag;     // annotation at the end of the row
  double _t0;                 // reference time, monotonic seconds
  double _e2e;                // end-to-end seconds of the measured call, -1.0 unset
  double _jitter;             // last barrier seconds, -1.0 unset

 private:
  // Number of entries that can be read: _count bounded by the capacity.
  int recorded() const;
};

}  // namespace network
}  // namespace qor
