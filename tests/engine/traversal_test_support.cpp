#include "traversal_test_support.h"

#if !QOR_GPU_EMULATED
#include <mpi-ext.h>
#endif

#include <cstdio>
#include <map>
#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "qor_option.h"
#include "qor_test_support.h"

namespace traversal_test {

std::unique_ptr<qor_hw> make_hw(const std::string& text, std::string* log) {
  std::map<std::string, std::string> options = parse_option(text);
  qor_test::stderr_capture capture;
  std::unique_ptr<qor_hw> hw;
  try {
    hw = std::make_unique<qor_hw>(MPI_COMM_WORLD, options);
  } catch (...) {
    std::string why = capture.take();
    std::fputs(why.c_str(), stderr);  // the reason belongs in the test output
    throw;
  }
  std::string written = capture.take();
  if (log) *log = written;
  return hw;
}

namespace {

// Every way to write `size` as an ordered product of up to four factors > 1
// (a trailing 1 would be trimmed away, so it adds nothing).
void factorisations(int size, std::vector<int>& prefix, std::vector<std::vector<int>>& out) {
  if (size == 1) {
    if (!prefix.empty()) out.push_back(prefix);
    return;
  }
  if (prefix.size() == 4) return;
  for (int f = 2; f <= size; ++f) {
    if (size % f != 0) continue;
    prefix.push_back(f);
    factorisations(size / f, prefix, out);
    prefix.pop_back();
  }
}

}  // namespace

std::vector<std::string> topologies(int size) {
  std::vector<std::string> modes = {"r"};
  std::vector<int> prefix;
  std::vector<std::vector<int>> grids;
  factorisations(size, prefix, grids);
  for (const auto& g : grids) {
    if (g.size() < 2) continue;  // the same as the single dimension above
    std::string text = "r:";
    for (size_t i = 0; i < g.size(); ++i) text += (i ? "x" : "") + std::to_string(g[i]);
    modes.push_back(text);
  }
  // A leading dimension of one process: its passes must do nothing.
  if (size > 1) modes.push_back("r:1x" + std::to_string(size));
  return modes;
}

bool mpi_takes_device_memory(std::string* why) {
#if QOR_GPU_EMULATED
  (void)why;
  return true;
#else
#if defined(MPIX_CUDA_AWARE_SUPPORT) && MPIX_CUDA_AWARE_SUPPORT
  if (MPIX_Query_cuda_support()) return true;
#endif
  if (why) *why = "this MPI library cannot transfer GPU memory (not CUDA-aware)";
  return false;
#endif
}

std::vector<int> dimension_members(qor_hw& hw, int d) {
  auto& D = hw._dim[static_cast<size_t>(d)];
  std::vector<int> members(static_cast<size_t>(D._size));
  int me = world_rank();
  MPI_Allgather(&me, 1, MPI_INT, members.data(), 1, MPI_INT, D._comm);
  return members;
}

namespace {

// Reads one trace line; false for anything else.
//   <S> HH:MM:SS.mmm <pid:5> <tid> QOR:<line:-4>] [[MPI:<rank:4>] ]<text>
bool parse_trace(const std::string& line, trace* out) {
  size_t at = 0;
  auto literal = [&](const char* word) {
    const size_t n = std::strlen(word);
    if (line.compare(at, n, word) != 0) return false;
    at += n;
    return true;
  };
  auto digits = [&](size_t exactly, long* value) {
    const size_t start = at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    if (at == start || (exactly != 0 && at - start != exactly)) return false;
    if (value) *value = std::stol(line.substr(start, at - start));
    return true;
  };
  auto blanks = [&] {
    while (at < line.size() && line[at] == ' ') ++at;
  };
  if (line.size() < 2 || std::strchr("IWEFD", line[0]) == nullptr || line[1] != ' ') return false;
  at = 2;
  long source = 0;
  if (!(digits(2, nullptr) && literal(":") && digits(2, nullptr) && literal(":") &&
        digits(2, nullptr) && literal(".") && digits(3, nullptr) && literal(" ")))
    return false;
  blanks();
  if (!(digits(0, nullptr) && literal(" ") && digits(0, nullptr) && literal(" QOR:") &&
        digits(0, &source)))
    return false;
  blanks();
  if (!literal("] ")) return false;
  long rank = -1;
  if (literal("[MPI:")) {
    blanks();
    const bool negative = literal("-");
    if (!digits(0, &rank) || !literal("] ")) return false;
    if (negative) rank = -rank;
  }
  *out = {line[0], static_cast<int>(source), static_cast<int>(rank), line.substr(at)};
  return true;
}

}  // namespace

std::vector<trace> traces(const std::string& log) {
  std::vector<trace> out;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    trace t;
    if (parse_trace(line, &t)) out.push_back(t);
  }
  return out;
}

bool scientific_fields(const std::string& text, const std::vector<std::string>& literals,
                       std::vector<double>* numbers) {
  numbers->clear();
  size_t at = 0;
  for (size_t k = 0; k < literals.size(); ++k) {
    if (text.compare(at, literals[k].size(), literals[k]) != 0) return false;
    at += literals[k].size();
    if (k + 1 == literals.size() && at == text.size()) return true;
    // d.ddde+dd or d.ddde-dd
    static const char shape[] = "0.000e+00";
    const size_t n = sizeof shape - 1;
    if (text.size() < at + n) return false;
    for (size_t i = 0; i < n; ++i) {
      const char c = text[at + i];
      const char want = shape[i];
      const bool ok = want == '0' ? std::isdigit(static_cast<unsigned char>(c)) != 0
                      : want == '+' ? (c == '+' || c == '-')
                                    : c == want;
      if (!ok) return false;
    }
    numbers->push_back(std::stod(text.substr(at, n)));
    at += n;
  }
  return at == text.size();
}

std::string message_line(int id, const std::string& body) {
  return "[ERROR QOR-1-" + std::to_string(id) + "] " + body + "\n";
}

}  // namespace traversal_test
