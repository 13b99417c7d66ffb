// Trace lines: one flushed line on the log stream (std::clog) each,
//   <S> HH:MM:SS.mmm <pid:5> <tid> QOR:<line:-4>] [MPI:<rank:4>] <text>
// The rank field is written only by code that knows its rank.
#pragma once

#include <climits>
#include <sstream>
#include <string>

// Local wall-clock time as HH:MM:SS.mmm.
std::string get_timestamp();

namespace qor {

constexpr int no_rank = INT_MIN;

// The whole line, with its final "\n".  Severity letters: I W E F D.
std::string format_trace_line(char severity, int line, int rank, const std::string& text);

// Writes format_trace_line(...) with one write and flushes.
void write_trace_line(char severity, int line, int rank, const std::string& text);

// Trace verbosity: rank 0 writes from `rank0_level` on, the others from 6 on.
inline bool trace_on(int rank, int dbg_level, int rank0_level = 1) {
  return rank == 0 ? dbg_level >= rank0_level : dbg_level >= 6;
}

// Collects a line with operator<< and writes it when it goes out of scope.
// Floating-point values print in scientific notation with three digits.
class trace_line {
 public:
  trace_line(char severity, int line, int rank = no_rank);
  ~trace_line();
  trace_line(const trace_line&) = delete;
  trace_line& operator=(const trace_line&) = delete;

  template <class T>
  trace_line& operator<<(const T& value) {
    _text << value;
    return *this;
  }

 private:
  char _severity;
  int _line;
  int _rank;
  std::ostringstream _text;
};

// The error and warning text written by the calling thread (trace lines
// E, W and F, and numbered messages) since the last take_error_text() of
// this thread, at most its last 4 KiB; taking it forgets it.
void note_error_text(const std::string& text);
std::string take_error_text();

// Writes an "E" trace line without rank and ends the process with status 1.
[[noreturn]] void exit_with_error(int line, const std::string& text);

}  // namespace qor

#define QOR_TRACE(severity) ::qor::trace_line((severity), __LINE__)
#define QOR_TRACE_RANK(severity, rank) ::qor::trace_line((severity), __LINE__, (rank))
#define QOR_EXIT_WITH_ERROR(text) ::qor::exit_with_error(__LINE__, (text))
