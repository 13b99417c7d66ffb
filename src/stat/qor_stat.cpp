#include "qor_stat.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include "qor_clock.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

constexpr int initial_capacity = 4096;
// Keeps means of all-zero columns from dividing by zero.
constexpr double min_mean = 1e-16;

// A stream for one report line: fields left-justified, numbers scientific
// with three digits.
class report_line {
 public:
  report_line() { _out << std::left << std::scientific << std::setprecision(3); }

  template <class T>
  report_line& field(const T& value, int width) {
    _out << std::setw(width) << value;
    return *this;
  }
  template <class T>
  report_line& text(const T& value) {
    _out << value;
    return *this;
  }
  // A relative spread: "(" fixed with two digits ")".
  report_line& rel(double value) {
    _out << '(' << std::fixed << std::setprecision(2) << value << ')' << std::scientific
         << std::setprecision(3);
    return *this;
  }
  std::string str() const { return _out.str(); }

 private:
  std::ostringstream _out;
};

// Mean (at least min_mean) and population standard deviation of k values.
struct moments {
  double mean;
  double stddev;
};

moments column_moments(const std::vector<double>& column, int first, int k) {
  double sum = 0.0;
  for (int j = first; j < first + k; ++j) sum += column[j];
  const double average = sum / k;
  double squares = 0.0;
  for (int j = first; j < first + k; ++j) squares += (column[j] - average) * (column[j] - average);
  return {std::max(average, min_mean), std::sqrt(squares / k)};
}

}  // namespace

qor_stat::qor_stat() : _count(0), _t0(0.0), _e2e(-1.0), _jitter(-1.0) {
  resize(initial_capacity);
  _count = 0;
  _t0 = monotonic_seconds();
}

void qor_stat::reset() {
  _count = 0;
  _t0 = monotonic_seconds();
}

void qor_stat::resize(int n) {
  const size_t size = static_cast<size_t>(std::max(n, 0));
  _send.resize(size, 0.0);
  _recv.resize(size, 0.0);
  _call.resize(size, 0.0);
  _wait.resize(size, 0.0);
  _op.resize(size, 0.0);
  _time.resize(size, 0.0);
  _algo.resize(size, 0);
  _dim_id.resize(size, 0);
  _tid.resize(size, 0);
  _tag.resize(size, 0);
  // Entries cut off by a smaller capacity are gone; the count must not point
  // past the lists.
  _count = std::min(_count, static_cast<int>(size));
}

int qor_stat::recorded() const {
  return std::max(0, std::min(_count, static_cast<int>(_time.size())));
}

void qor_stat::add_xact(char algo, double start, int dim, double call, double wait, double op,
                        double send, double recv, char tag) {
  // A long run may record more entries than planned between two resets;
  // growing keeps every one of them instead of writing past the lists.
  const int capacity = static_cast<int>(_time.size());
  if (_count < 0) _count = 0;
  if (_count >= capacity) resize(std::max(2 * capacity, initial_capacity));
  const size_t idx = static_cast<size_t>(_count);
  _algo[idx] = algo;
  _time[idx] = start - _t0;
  _dim_id[idx] = dim;
  _call[idx] = call;
  _wait[idx] = wait;
  _op[idx] = op;
  _send[idx] = send;
  _recv[idx] = recv;
  _tag[idx] = tag;
  _tid[idx] = 0;
  ++_count;
}

double qor_stat::get_bandwith(int dim) const {
  const int n = recorded();
  if (n < 1) return 0.0;
  double bytes = 0.0;
  double seconds = 0.0;
  for (int i = 0; i < n; ++i) {
    if (_dim_id[i] != dim) continue;
    bytes += _send[i] + _recv[i];
    seconds += _call[i] + _wait[i];
  }
  return (bytes / 1e9) / (1e-18 + seconds);
}

void qor_stat::break_line(int rank, int width) const {
  write_trace_line('I', __LINE__, rank, std::string(static_cast<size_t>(std::max(width + 2, 0)), '-'));
}

void qor_stat::dump(int rank, const std::string& name, int) const {
  const int n = recorded();
  if (n == 0) return;

  report_line header;
  header.field("tid", 6).field("dim", 6).field("algo", 12).text(" |   ").field("time", 10);
  for (const char* word : {"wait", "call", "op"}) header.text("  ").field(word, 16);
  for (const char* word : {"send(MB)", "recv(MB)", "bw(GB/s)"}) header.text("  ").field(word, 10);
  const std::string header_text = header.str();
  const int width = static_cast<int>(header_text.size());

  break_line(rank, width);
  write_trace_line('I', __LINE__, rank, header_text);
  break_line(rank, width);

  for (int i = 0; i < n;) {
    if (_algo[i] == '-') {
      break_line(rank, width);
      ++i;
      continue;
    }
    int k = 1;
    if (_algo[i] == 'r') {
      while (i + k < n && _algo[i + k] == _algo[i] && _tag[i + k] == _tag[i] &&
             _tid[i + k] == _tid[i] && _dim_id[i + k] == _dim_id[i])
        ++k;
    }

    report_line row;
    row.field(_tid[i], 6).text('d').field(_dim_id[i], 5);
    if (k >= 2) {
      std::ostringstream label;
      label << std::left << _algo[i] << '[' << std::setw(4) << i << '-' << i + k << ')';
      row.field(label.str(), 12).text(" |   ").field(_time[i], 10);
      const moments wait = column_moments(_wait, i, k);
      const moments call = column_moments(_call, i, k);
      const moments op = column_moments(_op, i, k);
      const moments send = column_moments(_send, i, k);
      row.text("  ").field(k * wait.mean, 10).rel(wait.stddev / wait.mean);
      row.text("  ").field(k * call.mean, 10).rel(call.stddev / call.mean);
      row.text("  ").field(k * op.mean, 10).rel(op.stddev / op.mean);
      // The run's volume is shown in both columns: a ring step receives what
      // its neighbour sends.
      row.text("  ").field(k * send.mean / 1e6, 10);
      row.text("  ").field(k * send.mean / 1e6, 10);
      row.text("  ").field(2 * send.mean / 1e9 / (call.mean + wait.mean), 10);
    } else {
      row.field(_algo[i] + std::to_string(i), 12).text(" |   ").field(_time[i], 10);
      row.text("  ").field(_wait[i], 16);
      row.text("  ").field(_call[i], 16);
      row.text("  ").field(_op[i], 16);
      row.text("  ").field(_send[i] / 1e6, 10);
      row.text("  ").field(_recv[i] / 1e6, 10);
      row.text("  ").field(2 * _send[i] / 1e9 / (_call[i] + _wait[i]), 10);
    }
    row.text(' ').text(_tag[i]);
    write_trace_line('I', __LINE__, rank, row.str());
    i += k;
  }
  if (_algo[n - 1] != '-') break_line(rank, width);

  double wait_sum = 0.0;
  double call_sum = 0.0;
  double op_sum = 0.0;
  for (int i = 0; i < n; ++i) {
    wait_sum += _wait[i];
    call_sum += _call[i];
    op_sum += _op[i];
  }
  report_line sum;
  sum.field(name, 24).text(" |   ").field("   *sum = ", 10);
  sum.text("  ").field(wait_sum, 16);
  sum.text("  ").text(call_sum).text("  ").text(op_sum);
  sum.text("  *e2e = ").text(_e2e);
  write_trace_line('I', __LINE__, rank, sum.str());
  break_line(rank, width);
}

}  // namespace network
}  // namespace qor
