#include "qor_trace.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <iostream>

std::string get_timestamp() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  struct tm local;
  localtime_r(&seconds, &local);
  char clock[16];
  std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  char millis[8];
  std::snprintf(millis, sizeof millis, "%03d", static_cast<int>(tv.tv_usec / 1000));
  return std::string(clock) + "." + millis;
}

namespace qor {

std::string format_trace_line(char severity, int line, int rank, const std::string& text) {
  std::ostringstream out;
  out << severity << ' ' << get_timestamp() << ' ' << std::setw(5) << getpid() << ' '
      << gettid() << " QOR:" << std::left << std::setw(4) << line << "] " << std::right;
  if (rank != no_rank) out << "[MPI:" << std::setw(4) << rank << "] ";
  out << text << '\n';
  return out.str();
}

namespace {
thread_local std::string error_text;
constexpr size_t error_text_limit = 4096;
}  // namespace

void note_error_text(const std::string& text) {
  error_text += text;
  if (error_text.size() > error_text_limit)
    error_text.erase(0, error_text.size() - error_text_limit);
}

std::string take_error_text() {
  std::string text;
  text.swap(error_text);
  return text;
}

void write_trace_line(char severity, int line, int rank, const std::string& text) {
  // One write per line keeps lines of the worker thread and the caller whole.
  const std::string whole = format_trace_line(severity, line, rank, text);
  std::clog << whole;
  std::clog.flush();
  if (severity == 'E' || severity == 'W' || severity == 'F') note_error_text(whole);
}

trace_line::trace_line(char severity, int line, int rank)
    : _severity(severity), _line(line), _rank(rank) {
  _text << std::scientific << std::setprecision(3);
}

trace_line::~trace_line() { write_trace_line(_severity, _line, _rank, _text.str()); }

void exit_with_error(int line, const std::string& text) {
  write_trace_line('E', line, no_rank, text);
  std::exit(1);
}

}  // namespace qor
