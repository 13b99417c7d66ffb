#include "qor_option.h"

#include <cstdlib>
#include <sstream>

#include "qor_trace.h"

namespace {

// Only the blank separates key and value; tabs and other white space are
// ordinary characters of keys and values.
constexpr char blank = ' ';
constexpr char item_start = '-';

std::string trim_blanks(const std::string& text) {
  const size_t first = text.find_first_not_of(blank);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(blank);
  return text.substr(first, last - first + 1);
}

// The error line is followed by the list of keys the caller may use, so that
// a typo can be fixed without reading the sources.
[[noreturn]] void exit_unknown_key(const std::string& key,
                                   const std::map<std::string, std::string>& options) {
  qor::write_trace_line('E', __LINE__, qor::no_rank, "invalid options : [" + key + "]");
  std::string valid = "valid options : ";
  for (const auto& entry : options) valid += entry.first + blank;
  qor::write_trace_line('I', __LINE__, qor::no_rank, valid);
  std::exit(1);
}

}  // namespace

std::map<std::string, std::string> parse_option(const std::string& text) {
  // Every key the library understands; the parser accepts exactly these.
  std::map<std::string, std::string> options = {
      {"mode", "r"},
      {"mon_iter", "0"},
      {"dump_iter", "0"},
      {"comm_iter", "0"},
      {"rebind_iter", "0"},
      {"jitter_thold", "0.5"},
      {"dev_sync", "0"},
      {"dbg_level", "0"},
      {"pipe", "1"},
      {"pack", "0.0"},
      {"dump_grad_path", ""},
      {"omp", "1"},
      {"cpu_only", "0"},
      {"fuse_dim", "0"},
      {"mpi_inplace", "0"},
      {"share_algo", "0"},
      {"pipe_thold", "0"},
      {"cross_node_nccl", "1"},
      {"mpi_mode", "1"},
      {"qor_legacy_allreduce", "0"},
      {"align_part", "8"},
      {"qor_worker_count", ""},
      {"qor_worker_index", ""},
      {"qor_device_index", ""},
      {"qor_group_id", ""},
      {"comp_min_size", "-1"},
      {"comp_thold", "0.0"},
      {"comp_ratio", "0.9"},
      {"comp_residue", "1"},
      {"comp_rmse_iter", "-1"},
      {"comp_clipping", "1.0"},
      {"comp_g_scale", "100.0"},
      {"comp_n_scale", "3.0"},
      {"comp_l_scale", "0.000001"},
      // Empty: QOR_WATCHDOG_SEC from the environment, else 1800 s.
      {"watchdog_sec", ""},
      // Shared memory between a host's processes in host-CPU mode: the SHM
      // algorithm (0 turns it off) and qor_malloc's pool, MiB per process.
      {"shm", "1"},
      {"shm_pool", "1024"},
  };
  parse_option(text, options);
  return options;
}

void parse_option(const std::string& text, std::map<std::string, std::string>& options) {
  std::istringstream stream(text);
  std::string piece;
  // Every '-' starts an item, also one inside a value: values cannot hold a
  // '-', so negative numbers cannot be given.
  while (std::getline(stream, piece, item_start)) {
    if (piece.empty()) continue;
    const size_t separator = piece.find(blank);
    if (separator == std::string::npos || separator == 0)
      QOR_EXIT_WITH_ERROR("ill-formated option :[" + text + "]");
    const std::string key = trim_blanks(piece.substr(0, separator));
    const std::string value = trim_blanks(piece.substr(separator));
    if (value.find(blank) != std::string::npos)
      QOR_EXIT_WITH_ERROR("invalid value \"" + value + "\" for -" + key + " option ");
    const auto found = options.find(key);
    if (found == options.end()) exit_unknown_key(key, options);
    found->second = value;
  }
}
