#include "traversal_test_support.h"

#if !QOR_GPU_EMULATED
#include <mpi-ext.h>
#endif

#include <cctype>
#include <cstdio>
#include <map>
#include <string>

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

}  // namespace traversal_test
