// The command line of qor_perf: flags, their checks and the sizes they sweep.
#ifndef QOR_PERF_ARGS_H
#define QOR_PERF_ARGS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qor_perf {

// The library's three ways to start.
enum class start_mode { nccl, mpiless, legacy };

struct settings {
  size_t min_bytes = 1024;
  size_t max_bytes = size_t{64} << 20;
  size_t step_factor = 2;  // used when step_bytes is 0
  size_t step_bytes = 0;
  int iterations = 20;
  int warmup = 5;
  bool check = true;
  bool half = false;
  bool average = false;
  start_mode mode = start_mode::legacy;
  std::string options;  // the library's option text, without what the start mode adds
  bool async = false;
  // Buffers from qor_malloc, as frameworks register theirs; otherwise, in
  // host-CPU mode, plain memory (on GPUs qor_malloc is the only way).
  bool registered = false;
  std::string json_file;
  bool help = false;
};

struct parsed {
  settings s;
  std::string error;  // one line, empty when the command line is good
};

// Parses the flags after the program name.  Nothing is read from argv[0].
parsed parse_args(const std::vector<std::string>& args);

// "4096", "4K", "64M", "1G" (powers of 1024); nullopt for anything else,
// overflow included.
std::optional<size_t> parse_bytes(const std::string& text);

// The buffer sizes in bytes, smallest first: from min_bytes, multiplied by
// step_factor (or increased by step_bytes) while not above max_bytes, each
// rounded down to whole elements.
std::vector<size_t> sweep_sizes(const settings& s);

size_t element_bytes(const settings& s);
const char* mode_name(start_mode mode);
// The option text used when -O is not given.
std::string default_options(start_mode mode);
// The help text.
std::string usage();

}  // namespace qor_perf

#endif  // QOR_PERF_ARGS_H
